#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVLibavPlaybackProvider.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/photos/PHFileMediaProvider.h"
#include "platform/photos/PHImageManager.h"
#include "support/RecordedLog.h"
#include "support/camera/CameraFixtures.h"
#include "support/photos/PhotoLibraryFixture.h"

namespace image_manager_test {

namespace {

struct Answer {
  UIImagePtr image;
  Value info;
};

// Collects the answers of an image request until a final (non-degraded) one.
struct ImageAnswers {
  std::mutex mutex;
  std::vector<Answer> answers;
  dispatch_semaphore_t final = dispatch_semaphore_create(0);
  PHImageResultHandler handler() {
    return [this, final = final](const UIImagePtr& image, const Value& info) {
      const Value* degraded = info.find(PHImageResultIsDegradedKey);
      bool isFinal = !degraded || !degraded->asBool();
      {
        std::lock_guard<std::mutex> lock(mutex);
        answers.push_back({image, info});
      }
      // Signalled only once the lock is released: the waiter may return and
      // destroy this collector (and its mutex) as soon as it wakes.
      if (isFinal) dispatch_semaphore_signal(final);
    };
  }
  bool wait() { return dispatch_semaphore_wait(final, dispatch_time_after(kTestTimeoutSeconds)) == 0; }
};

const uint8_t* pixel(const CGImageRef& image, size_t x, size_t y) {
  static thread_local std::shared_ptr<const Bytes> keep;
  keep = image->pixelData();
  return keep->data() + y * image->bytesPerRow() + x * 4;
}

bool isRed(const uint8_t* p) { return p[0] > 200 && p[1] < 60 && p[2] < 60; }

PHAssetPtr onlyAsset() { return PHAsset::fetchAssetsWithOptions(nullptr)->firstObject(); }

}  // namespace

class ImageManagerTest : public PhotoLibraryTest {};

TEST_F(ImageManagerTest, ImagesAreDecodedUprightAndResizedToTheTargetInEachContentMode) {
  // Stored 40x20 with EXIF orientation 6: shown 20x40, the red corner at the top right.
  ASSERT_TRUE(WriteFixtureImage(path("turned.jpg"), "public.jpeg", 40, 20, 6));
  auto asset = onlyAsset();
  auto manager = std::make_shared<PHCachingImageManager>();
  auto exact = std::make_shared<PHImageRequestOptions>();
  exact->deliveryMode = PHImageRequestOptionsDeliveryModeHighQualityFormat;
  exact->resizeMode = PHImageRequestOptionsResizeModeExact;

  ImageAnswers fit, fill;
  PHImageRequestID first = manager->requestImageForAsset(asset, CGSizeMake(10, 10),
                                                         PHImageContentModeAspectFit, exact, fit.handler());
  PHImageRequestID second = manager->requestImageForAsset(asset, CGSizeMake(10, 10),
                                                          PHImageContentModeAspectFill, exact, fill.handler());
  EXPECT_GT(first, 0);
  EXPECT_EQ(second, first + 1);
  ASSERT_TRUE(fit.wait());
  ASSERT_TRUE(fill.wait());
  ASSERT_EQ(fit.answers.size(), 1u);  // high quality: no degraded image first
  CGImageRef small = fit.answers[0].image->CGImage();
  EXPECT_EQ(small->width(), 5u);
  EXPECT_EQ(small->height(), 10u);
  EXPECT_TRUE(isRed(pixel(small, 4, 0)));
  EXPECT_FALSE(isRed(pixel(small, 0, 9)));
  EXPECT_EQ(fit.answers[0].info.find(PHImageResultRequestIDKey)->asInt64(), first);
  EXPECT_EQ(fill.answers[0].image->CGImage()->width(), 10u);
  EXPECT_EQ(fill.answers[0].image->CGImage()->height(), 20u);

  // Opportunistic delivery: a smaller degraded image, then the final one.
  ImageAnswers opportunistic;
  manager->requestImageForAsset(asset, CGSizeMake(20, 40), PHImageContentModeAspectFit, nullptr,
                                opportunistic.handler());
  ASSERT_TRUE(opportunistic.wait());
  ASSERT_EQ(opportunistic.answers.size(), 2u);
  EXPECT_TRUE(opportunistic.answers[0].info.find(PHImageResultIsDegradedKey)->asBool());
  EXPECT_LT(opportunistic.answers[0].image->CGImage()->width(), 20u);
  EXPECT_FALSE(opportunistic.answers[1].info.find(PHImageResultIsDegradedKey)->asBool());
  EXPECT_EQ(opportunistic.answers[1].image->CGImage()->height(), 40u);

  // A target larger than the picture gets the picture at its own size, in
  // either mode: nothing is scaled up.
  for (PHImageContentMode mode : {PHImageContentModeAspectFit, PHImageContentModeAspectFill}) {
    ImageAnswers large;
    manager->requestImageForAsset(asset, CGSizeMake(100, 100), mode, exact, large.handler());
    ASSERT_TRUE(large.wait());
    CGImageRef whole = large.answers.back().image->CGImage();
    EXPECT_EQ(whole->width(), 20u) << mode;
    EXPECT_EQ(whole->height(), 40u) << mode;
  }
}

TEST_F(ImageManagerTest, AnOpportunisticRequestDecodesAHEICPhotoOnceForBothItsImages) {
  // No thumbnail item: each image is made from the whole photo.
  ASSERT_TRUE(WriteFixtureImage(path("photo.heic"), "public.heic", 64, 48, 1));
  auto asset = onlyAsset();
  ASSERT_TRUE(asset);
  ImageAnswers answers;
  const size_t before = HEIFDecodedImageCount();
  PHImageManager::defaultManager()->requestImageForAsset(
      asset, CGSizeMake(32, 32), PHImageContentModeAspectFit, nullptr, answers.handler());
  ASSERT_TRUE(answers.wait());
  ASSERT_EQ(answers.answers.size(), 2u);
  EXPECT_EQ(answers.answers[0].image->CGImage()->width(), 8u);  // degraded: a quarter
  EXPECT_EQ(answers.answers[1].image->CGImage()->width(), 32u);
  EXPECT_EQ(HEIFDecodedImageCount() - before, 1u);
}

TEST_F(ImageManagerTest, AnImageRequestNeverDecodesAHEICThumbnailLargerThanItsPhoto) {
  // 640 x 480 with a thumbnail item of 16000 x 12000 (imageio's sample).
  const char* data = std::getenv("QX_TEST_DATA");
  ASSERT_TRUE(data);
  std::ifstream in(std::string(data) + "/imageio/thumbnail-16000x12000-of-640x480.heic",
                   std::ios::binary);
  std::ofstream(path("photo.heic"), std::ios::binary) << in.rdbuf();
  auto asset = onlyAsset();
  ASSERT_TRUE(asset);
  ImageAnswers answers;
  const size_t before = HEIFDecodedImageCount();
  PHImageManager::defaultManager()->requestImageForAsset(
      asset, CGSizeMake(200, 200), PHImageContentModeAspectFit, nullptr, answers.handler());
  ASSERT_TRUE(answers.wait());
  ASSERT_EQ(answers.answers.size(), 2u);
  CGImageRef final = answers.answers[1].image->CGImage();
  EXPECT_EQ(final->width(), 200u);
  EXPECT_EQ(final->height(), 150u);
  EXPECT_TRUE(isRed(pixel(final, 50, 30)));  // the photo's quadrant, not the thumbnail's grey
  EXPECT_EQ(HEIFDecodedImageCount() - before, 1u);
}

TEST_F(ImageManagerTest, DataRequestsAnswerTheFileUnchangedAndVideosAnswerURLAssetsAndFrames) {
  ASSERT_TRUE(WriteFixtureImage(path("photo.heic"), "public.heic", 16, 8, 1, std::nullopt,
                                "2020:01:01 00:00:00"));
  ASSERT_TRUE(WriteFixtureImage(path("turned.jpg"), "public.jpeg", 8, 8, 6, std::nullopt,
                                "2021:01:01 00:00:00"));
  ASSERT_TRUE(WriteFixtureVideo(path("clip.mp4"), 32, 24, 5, "2022-01-01T00:00:00Z"));
  auto all = PHAsset::fetchAssetsWithOptions(nullptr);
  ASSERT_EQ(all->count(), 3);
  auto manager = PHImageManager::defaultManager();

  for (int i = 0; i < 2; ++i) {
    auto asset = all->objectAtIndex(i);
    auto done = dispatch_semaphore_create(0);
    NSDataPtr data;
    std::string uti;
    UIImageOrientation orientation = UIImageOrientationUp;
    Value info;
    manager->requestImageDataForAsset(asset, nullptr,
                                      [&, done](const NSDataPtr& d, const std::string& t,
                                          UIImageOrientation o, const Value& i) {
                                        data = d;
                                        uti = t;
                                        orientation = o;
                                        info = i;
                                        dispatch_semaphore_signal(done);
                                      });
    ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->vector(), NSData::dataWithContentsOfFile(asset->filePath())->vector());
    EXPECT_EQ(uti, i == 0 ? "public.heic" : "public.jpeg");
    EXPECT_EQ(orientation, i == 0 ? UIImageOrientationUp : UIImageOrientationRight);
    auto url = info.find(PHImageFileURLKey)->objectAs<NSURL>();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path(), asset->filePath());
  }

  auto video = all->lastObject();
  auto done = dispatch_semaphore_create(0);
  AVAssetPtr av;
  manager->requestAVAssetForVideo(video, nullptr, [&, done](const AVAssetPtr& a, const Value&) {
    av = a;
    dispatch_semaphore_signal(done);
  });
  ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
  auto urlAsset = std::dynamic_pointer_cast<AVURLAsset>(av);
  ASSERT_TRUE(urlAsset);
  EXPECT_EQ(urlAsset->URL()->path(), video->filePath());
  EXPECT_TRUE(urlAsset->isExportable());
  ASSERT_EQ(urlAsset->tracksWithMediaType(AVMediaTypeVideo).size(), 1u);

  // A video's image is one of its frames, decoded and resized.
  ImageAnswers frame;
  auto options = std::make_shared<PHImageRequestOptions>();
  options->deliveryMode = PHImageRequestOptionsDeliveryModeHighQualityFormat;
  manager->requestImageForAsset(video, CGSizeMake(16, 16), PHImageContentModeAspectFit, options,
                                frame.handler());
  ASSERT_TRUE(frame.wait());
  ASSERT_TRUE(frame.answers[0].image);
  EXPECT_EQ(frame.answers[0].image->CGImage()->width(), 16u);
  EXPECT_EQ(frame.answers[0].image->CGImage()->height(), 12u);
}

TEST_F(ImageManagerTest, CachingKeepsABoundedSetOfDecodedImages) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(WriteFixtureImage(path("p" + std::to_string(i) + ".png"), "public.png", 12, 12));
  }
  auto assets = PHAsset::fetchAssetsWithOptions(nullptr)->objects();
  auto provider = std::make_shared<PHFileMediaProvider>(2);
  auto sync = std::make_shared<PHImageRequestOptions>();
  sync->synchronous = true;
  provider->startCaching(assets, CGSizeMake(6, 6), PHImageContentModeAspectFill, sync);
  EXPECT_EQ(provider->cachedImageCount(), 2u);  // the least recently used one was dropped

  // A cached image answers at once, final, without a degraded image first.
  std::vector<Value> infos;
  PHImageRequest request{42, assets.back(), CGSizeMake(6, 6), PHImageContentModeAspectFill,
                         std::make_shared<PHImageRequestOptions>(*sync)};
  request.options->deliveryMode = PHImageRequestOptionsDeliveryModeOpportunistic;
  provider->requestImage(request, [&](const UIImagePtr& image, const Value& info) {
    EXPECT_TRUE(image);
    infos.push_back(info);
  });
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_FALSE(infos[0].find(PHImageResultIsDegradedKey)->asBool());

  provider->stopCaching({assets.back()}, CGSizeMake(6, 6), PHImageContentModeAspectFill, nullptr);
  EXPECT_EQ(provider->cachedImageCount(), 1u);
  provider->stopCachingAll();
  EXPECT_EQ(provider->cachedImageCount(), 0u);

  // A cancelled request is answered with the cancelled key and no image.
  provider->cancelRequest(43);
  Value cancelled;
  PHImageRequest late{43, assets.front(), CGSizeMake(6, 6), PHImageContentModeAspectFit, sync};
  provider->requestImage(late, [&](const UIImagePtr& image, const Value& info) {
    EXPECT_FALSE(image);
    cancelled = info;
  });
  ASSERT_TRUE(cancelled.find(PHImageCancelledKey));
  EXPECT_TRUE(cancelled.find(PHImageCancelledKey)->asBool());
}

TEST_F(ImageManagerTest, AHitKeepsItsImageAndAnUnreadableFileAnswersWithItsError) {
  for (const char* name : {"a.png", "b.png", "c.png"}) {
    ASSERT_TRUE(WriteFixtureImage(path(name), "public.png", 12, 12));
  }
  std::map<std::string, PHAssetPtr> byName;
  auto all = PHAsset::fetchAssetsWithOptions(nullptr);
  for (auto& asset : all->objects()) byName[asset->record().relativePath] = asset;
  ASSERT_EQ(byName.size(), 3u);
  auto provider = std::make_shared<PHFileMediaProvider>(2);
  auto sync = std::make_shared<PHImageRequestOptions>();
  sync->synchronous = true;
  const CGSize size = CGSizeMake(6, 6);
  auto request = [&](const std::string& name, PHImageRequestID id) {
    Answer answer;
    provider->requestImage(PHImageRequest{id, byName[name], size, PHImageContentModeAspectFill, sync},
                           [&](const UIImagePtr& image, const Value& info) { answer = {image, info}; });
    return answer;
  };
  provider->startCaching({byName["a.png"], byName["b.png"]}, size, PHImageContentModeAspectFill, sync);
  // A hit on "a" makes "b" the least recently used, so caching "c" drops "b".
  ASSERT_TRUE(request("a.png", 1).image);
  provider->startCaching({byName["c.png"]}, size, PHImageContentModeAspectFill, sync);
  ASSERT_EQ(provider->cachedImageCount(), 2u);

  // With the files gone only the cached images can still be answered.
  for (const char* name : {"a.png", "b.png"}) ASSERT_EQ(std::remove(path(name).c_str()), 0);
  Answer kept = request("a.png", 2);
  EXPECT_TRUE(kept.image) << "the image used last stays cached";
  EXPECT_FALSE(kept.info.find(PHImageErrorKey));

  Answer gone = request("b.png", 3);
  EXPECT_FALSE(gone.image);
  const Value* error = gone.info.find(PHImageErrorKey);
  ASSERT_TRUE(error);
  auto nsError = error->objectAs<NSError>();
  ASSERT_TRUE(nsError);
  EXPECT_EQ(nsError->domain(), PHPhotosErrorDomain);
  // Its file went, so the library lost it: the error says so, not that a
  // file it still lists cannot be read.
  const std::string lost = "The asset is no longer in the photo library.";
  EXPECT_EQ(nsError->localizedDescription(), lost);

  // The data of an asset gone from the library comes with that error too.
  NSDataPtr data;
  Value dataInfo;
  provider->requestImageData(
      PHImageRequest{4, byName["b.png"], size, PHImageContentModeAspectFill, sync},
      [&](const NSDataPtr& bytes, const std::string&, UIImageOrientation, const Value& info) {
        data = bytes;
        dataInfo = info;
      });
  EXPECT_FALSE(data);
  const Value* dataError = dataInfo.find(PHImageErrorKey);
  ASSERT_TRUE(dataError);
  ASSERT_TRUE(dataError->objectAs<NSError>());
  EXPECT_EQ(dataError->objectAs<NSError>()->localizedDescription(), lost);

  // A file renamed since its asset was fetched is read where it is now.
  ASSERT_EQ(std::rename(path("c.png").c_str(), path("d.png").c_str()), 0);
  provider->stopCachingAll();
  EXPECT_TRUE(request("c.png", 5).image);
  // Caching reads it there too: its image outlives the file.
  provider->stopCachingAll();
  provider->startCaching({byName["c.png"]}, size, PHImageContentModeAspectFill, sync);
  ASSERT_EQ(std::remove(path("d.png").c_str()), 0);
  EXPECT_TRUE(request("c.png", 6).image);
}

// libswscale writes whole vectors: frames whose rows are no multiple of them
// must still land in the thumbnail's bitmap, and nothing past it.
TEST_F(ImageManagerTest, VideoFramesOfAnyWidthKeepTheirPixels) {
  for (const camera_test::FrameSize size : camera_test::kUnalignedFrameSizes) {
    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
    const std::string movie = path("clip" + std::to_string(size.width) + ".mov");
    ASSERT_TRUE(camera_test::WriteClip(movie, size.width, size.height, 2, 10));
    EXPECT_TRUE(camera_test::ShowsPattern(PHDecodeVideoFrame(movie), size.width, size.height, 0));
  }
  // Past the player's limits there is no frame: the longest side allowed,
  // one past it.
  const std::string widest = path("widest.mov"), wider = path("wider.mov");
  ASSERT_TRUE(camera_test::WriteClip(widest, kAVMaxVideoSide, 16, 1, 10));
  ASSERT_TRUE(camera_test::WriteClip(wider, kAVMaxVideoSide + 8, 16, 1, 10));
  EXPECT_TRUE(camera_test::ShowsPattern(PHDecodeVideoFrame(widest), kAVMaxVideoSide, 16, 0));
  EXPECT_FALSE(PHDecodeVideoFrame(wider));
  // A turned video's frame is turned from its padded rows into tight ones:
  // where each corner of the stored 17 x 9 picture lands.
  struct Turn {
    int degrees;
    int topLeft[2], topRight[2], bottomLeft[2];  // stored corners, shown at
  };
  const Turn turns[] = {{90, {8, 0}, {8, 16}, {0, 0}},
                        {180, {16, 8}, {0, 8}, {16, 0}},
                        {270, {0, 16}, {0, 0}, {8, 16}}};
  const CGImageRef stored = camera_test::PatternFrame(17, 9, 0);
  for (const Turn& turn : turns) {
    SCOPED_TRACE(turn.degrees);
    const std::string movie = path("turned" + std::to_string(turn.degrees) + ".mov");
    ASSERT_TRUE(camera_test::WriteClip(movie, 17, 9, 1, 10, turn.degrees));
    ASSERT_EQ(AVProbeMediaFile(movie).rotationDegrees, turn.degrees);
    CGImageRef shown = PHDecodeVideoFrame(movie);
    ASSERT_TRUE(shown);
    const bool quarter = turn.degrees != 180;
    EXPECT_EQ(shown->width(), quarter ? 9u : 17u);
    EXPECT_EQ(shown->bytesPerRow(), shown->width() * 4);
    const std::pair<std::array<int, 2>, const int*> corners[] = {
        {{0, 0}, turn.topLeft}, {{16, 0}, turn.topRight}, {{0, 8}, turn.bottomLeft}};
    for (const auto& [from, to] : corners) {
      const auto want = camera_test::PixelAt(stored, from[0], from[1]);
      const auto got = camera_test::PixelAt(shown, to[0], to[1]);
      EXPECT_NEAR(got.r, want.r, 32) << from[0] << "," << from[1];
      EXPECT_NEAR(got.g, want.g, 32) << from[0] << "," << from[1];
    }
  }
}

TEST_F(ImageManagerTest, ADamagedFileIsReportedInTheLogNotOnStandardError) {
  std::string movie = path("garbled.mp4");
  ASSERT_TRUE(WriteFixtureVideo(movie, 32, 24, 20));
  // Damage the coded frames, keeping the container's index whole.
  {
    std::fstream file(movie, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    std::mt19937 random(7);
    for (std::streamoff at = 64; at < size * 3 / 4; at += 7) {
      file.seekp(at);
      file.put(static_cast<char>(random()));
    }
  }
  auto log = RecordedLog::install();
  testing::internal::CaptureStderr();
  AVProbeMediaFile(movie);
  PHDecodeVideoFrame(movie);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed, "");
  size_t fromLibrary = 0;
  for (const auto& entry : log->entries()) {
    if (entry.category != "libav") continue;
    ++fromLibrary;
    EXPECT_EQ(entry.type, OSLogType::Debug) << entry.message;
  }
  EXPECT_GT(fromLibrary, 0u) << "the damage was reported";
}

// A caller that cancels from its degraded-image handler gets no final
// image: the request is under way, and its next answer is the cancelled one.
TEST_F(ImageManagerTest, ACancelFromTheDegradedHandlerEndsTheRequestCancelled) {
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 40, 20));
  auto asset = onlyAsset();
  auto manager = std::make_shared<PHCachingImageManager>();
  ImageAnswers cancelledOne;
  auto record = cancelledOne.handler();
  PHImageRequestID id = manager->requestImageForAsset(
      asset, CGSizeMake(20, 10), PHImageContentModeAspectFit, nullptr,
      [manager, record](const UIImagePtr& image, const Value& info) {
        const Value* degraded = info.find(PHImageResultIsDegradedKey);
        if (degraded && degraded->asBool()) {
          manager->cancelImageRequest(static_cast<PHImageRequestID>(info.find(PHImageResultRequestIDKey)->asInt64()));
        }
        record(image, info);
      });
  ASSERT_TRUE(cancelledOne.wait());
  ASSERT_EQ(cancelledOne.answers.size(), 2u);
  EXPECT_TRUE(cancelledOne.answers[0].image);
  EXPECT_TRUE(cancelledOne.answers[0].info.find(PHImageResultIsDegradedKey)->asBool());
  EXPECT_FALSE(cancelledOne.answers[1].image);
  const Value* cancelled = cancelledOne.answers[1].info.find(PHImageCancelledKey);
  ASSERT_TRUE(cancelled);
  EXPECT_TRUE(cancelled->asBool());
  EXPECT_EQ(cancelledOne.answers[1].info.find(PHImageResultRequestIDKey)->asInt64(), id);

  // The next request of the same image is answered in full.
  ImageAnswers next;
  manager->requestImageForAsset(asset, CGSizeMake(20, 10), PHImageContentModeAspectFit, nullptr, next.handler());
  ASSERT_TRUE(next.wait());
  ASSERT_EQ(next.answers.size(), 2u);
  ASSERT_TRUE(next.answers[1].image);
  EXPECT_EQ(next.answers[1].image->CGImage()->width(), 20u);
}

}  // namespace image_manager_test

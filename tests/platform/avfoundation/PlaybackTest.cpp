#include <fstream>

#include "platform/avfoundation/AVAssetExportSession.h"
#include "platform/avfoundation/AVError.h"
#include "platform/avfoundation/AVLibavPlaybackProvider.h"
#include "platform/avfoundation/internal/AVPlaybackPipeline.h"
#include "platform/avfoundation/AVPlayer.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIView.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/camera/CameraFixtures.h"
#include "support/photos/PlaybackFixtures.h"
#include "support/network/LoopbackHttpServer.h"
#include "support/photos/ScriptedPlayback.h"
#include "support/ui/SnapshotTesting.h"

namespace playback_test {

namespace {

// Records each change of one key of an observable object, in order.
class Recorder : public NSKeyValueObserver {
 public:
  Recorder(NSKeyValueObservable& object, std::string key) : object_(object), key_(std::move(key)) {
    object_.addObserver(this, key_, NSKeyValueObservingOptionNew | NSKeyValueObservingOptionInitial, nullptr);
  }
  ~Recorder() override { object_.removeObserver(this, key_); }
  void observeValueForKeyPath(const std::string&, NSObject*, const Value& change, void*) override {
    values.push_back(*change.find(NSKeyValueChangeNewKey));
    onMain.push_back(NSThread::isMainThread());
  }
  std::vector<Value> values;
  std::vector<bool> onMain;

 private:
  NSKeyValueObservable& object_;
  std::string key_;
};

}  // namespace

class PlaybackTest : public PlatformTest {
 protected:
  std::string movie(const std::string& name, FixtureMovie fixture = {}) {
    std::string path = folder_.path() + "/" + name;
    EXPECT_TRUE(WriteFixtureMovie(path, fixture)) << path;
    return path;
  }
  static NSURLPtr fileURL(const std::string& path) { return NSURL::fileURLWithPath(path); }

  // Loads an asset's keys and waits (bounded) for the handler.
  static bool load(const AVURLAssetPtr& asset, bool* handlerOnMain = nullptr) {
    auto done = dispatch_semaphore_create(0);
    auto onMain = std::make_shared<std::atomic<bool>>(true);
    asset->loadValuesAsynchronouslyForKeys({"duration", "tracks", "playable"}, [done, onMain] {
      *onMain = NSThread::isMainThread();
      dispatch_semaphore_signal(done);
    });
    bool ok = dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)) == 0;
    if (handlerOnMain) *handlerOnMain = *onMain;
    return ok;
  }

  static bool settle(const AVPlayerItemPtr& item) {
    return RunMainLoopUntil([&] {
      return item->status() == AVPlayerItemStatusFailed ||
             (item->status() == AVPlayerItemStatusReadyToPlay && item->isPlaybackBufferFull());
    });
  }

  // The player layer over a view of `size`, rendered one point per pixel.
  CGImageRef render(const AVPlayerLayerPtr& layer, CGSize size, const std::string& snapshot = "") {
    auto view = std::make_shared<UIView>(CGRectMake(0, 0, size.width, size.height));
    view->setBackgroundColor(UIColor::blackColor());
    layer->setFrame(CGRectMake(0, 0, size.width, size.height));
    view->layer()->addSublayer(layer);
    UIImagePtr image = RenderView(*view, 1);
    layer->removeFromSuperlayer();
    if (!snapshot.empty()) SaveSnapshot(image, snapshot);
    return image->CGImage();
  }

  TempFolder folder_;
};

TEST_F(PlaybackTest, AssetKeysLoadFromTheRealFileOffTheMainThread) {
  FixtureMovie fixture;
  fixture.withAudio = true;
  auto asset = AVURLAsset::URLAssetWithURL(fileURL(movie("clip.mp4", fixture)));
  NSErrorPtr error;
  EXPECT_EQ(asset->statusOfValueForKey("duration", &error), AVKeyValueStatusUnknown);
  bool onMain = true;
  ASSERT_TRUE(load(asset, &onMain));
  EXPECT_FALSE(onMain);
  for (const char* key : {"duration", "tracks", "playable"}) {
    EXPECT_EQ(asset->statusOfValueForKey(key, &error), AVKeyValueStatusLoaded) << key;
    EXPECT_FALSE(error);
  }
  EXPECT_NEAR(CMTimeGetSeconds(asset->loadedDuration()), 2.0, 0.05);
  EXPECT_TRUE(asset->isPlayable());
  auto video = asset->tracksWithMediaType(AVMediaTypeVideo);
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(video[0]->naturalSize().width, 160);
  EXPECT_EQ(video[0]->naturalSize().height, 90);
  // Audio is read and counted, though nothing plays it.
  EXPECT_EQ(asset->tracksWithMediaType(AVMediaTypeAudio).size(), 1u);
  // A later request is answered from what was read, still off the main thread.
  ASSERT_TRUE(load(asset, &onMain));
  EXPECT_FALSE(onMain);
  std::printf("fixture movies encoded with %s\n", FixtureMovieEncoder().c_str());
}

TEST_F(PlaybackTest, AssetsThatCannotLoadFailWithThePlatformsErrors) {
  struct Case {
    NSURLPtr url;
    std::string domain;
    int64_t code;
  };
  std::string text = folder_.path() + "/notes.mp4";
  std::ofstream(text) << "These are notes, not a movie.\n";
  std::string whole = movie("whole.mp4", {});
  std::string truncated = folder_.path() + "/truncated.mp4";
  {
    std::ifstream in(whole, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(truncated, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  }
  std::vector<Case> cases = {
      {fileURL(folder_.path() + "/missing.mp4"), NSURLErrorDomain, NSURLErrorFileDoesNotExist},
      {NSURL::URLWithString("ftp://example.invalid/clip.mp4"), NSURLErrorDomain, NSURLErrorUnsupportedURL},
      {fileURL(text), AVFoundationErrorDomain, AVErrorFileFormatNotRecognized},
      {fileURL(truncated), AVFoundationErrorDomain, AVErrorFileFailedToParse},
      {fileURL(folder_.path()), AVFoundationErrorDomain, AVErrorFileFormatNotRecognized},
  };
  for (auto& c : cases) {
    auto asset = AVURLAsset::URLAssetWithURL(c.url);
    ASSERT_TRUE(load(asset)) << c.url->absoluteString();
    NSErrorPtr error;
    EXPECT_EQ(asset->statusOfValueForKey("duration", &error), AVKeyValueStatusFailed) << c.url->absoluteString();
    ASSERT_TRUE(error) << c.url->absoluteString();
    EXPECT_EQ(error->domain(), c.domain) << c.url->absoluteString();
    EXPECT_EQ(error->code(), c.code) << c.url->absoluteString();
    EXPECT_FALSE(error->localizedDescription().empty());
    EXPECT_FALSE(asset->isPlayable());
  }
}

TEST_F(PlaybackTest, CancelledLoadingRunsItsHandlersAndReadsCancelledUntilLoadedAgain) {
  auto provider = std::make_shared<ScriptedPlaybackProvider>();
  AVPlaybackProvider::setShared(provider);
  provider->holdLoading();
  auto asset = AVURLAsset::URLAssetWithURL(fileURL(movie("clip.mp4")));
  auto called = std::make_shared<std::atomic<int>>(0);
  asset->loadValuesAsynchronouslyForKeys({"duration"}, [called] { ++*called; });
  asset->loadValuesAsynchronouslyForKeys({"tracks"}, [called] { ++*called; });
  ASSERT_TRUE(RunMainLoopUntil([&] { return provider->waiting() == 1; }));
  NSErrorPtr error;
  EXPECT_EQ(asset->statusOfValueForKey("duration", &error), AVKeyValueStatusLoading);
  asset->cancelLoading();
  ASSERT_TRUE(RunMainLoopUntil([&] { return called->load() == 2 && provider->waiting() == 0; }));
  EXPECT_EQ(asset->statusOfValueForKey("tracks", &error), AVKeyValueStatusCancelled);
  provider->release();
  ASSERT_TRUE(load(asset));
  EXPECT_EQ(asset->statusOfValueForKey("duration", &error), AVKeyValueStatusLoaded);
  EXPECT_EQ(called->load(), 2);  // the cancelled handlers ran once, not again
}

TEST_F(PlaybackTest, PlayerPlaysOnTheClockWithPeriodicTicksAndTheEndNotification) {
  auto item = AVPlayerItem::playerItemWithURL(fileURL(movie("clip.mp4")));
  Recorder status(*item, "status"), duration(*item, "duration"), keepUp(*item, "playbackLikelyToKeepUp"),
      empty(*item, "playbackBufferEmpty");
  auto player = AVPlayer::playerWithPlayerItem(item);
  Recorder rate(*player, "rate");
  std::vector<double> ticks;
  auto token = player->addPeriodicTimeObserverForInterval(CMTimeMake(1, 1), nullptr, [&](CMTime t) {
    EXPECT_TRUE(NSThread::isMainThread());
    ticks.push_back(CMTimeGetSeconds(t));
  });
  int ends = 0;
  NSNotificationCenter::defaultCenter().addObserver(this, AVPlayerItemDidPlayToEndTimeNotification, item,
                                                    [&](const NSNotification&) { ++ends; });
  player->play();  // before the item is ready: time waits for it
  EXPECT_EQ(player->rate(), 1.0f);
  ASSERT_TRUE(settle(item));
  ASSERT_EQ(item->status(), AVPlayerItemStatusReadyToPlay);
  EXPECT_EQ(status.values.front().asInt64(), AVPlayerItemStatusUnknown);
  EXPECT_EQ(status.values.back().asInt64(), AVPlayerItemStatusReadyToPlay);
  EXPECT_TRUE(CMTIME_IS_INDEFINITE(CMTimeMakeFromDictionary(duration.values.front())));
  EXPECT_NEAR(CMTimeGetSeconds(CMTimeMakeFromDictionary(duration.values.back())), 2.0, 0.05);
  EXPECT_TRUE(empty.values.front().asBool());
  EXPECT_FALSE(empty.values.back().asBool());
  EXPECT_TRUE(keepUp.values.back().asBool());
  for (bool main : status.onMain) EXPECT_TRUE(main);
  EXPECT_EQ(item->presentationSize().width, 160);

  EXPECT_EQ(CMTimeGetSeconds(player->currentTime()), 0);
  advance(0.5);
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(player->currentTime()), 0.5);
  EXPECT_EQ(item->currentTime(), player->currentTime());
  advance(0.6);
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(player->currentTime()), 1.1);
  // Started (at 0), then the tick at 1 s.
  EXPECT_EQ(ticks, (std::vector<double>{0, 1}));
  player->pause();
  advance(5);
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(player->currentTime()), 1.1);
  player->setRate(NAN);  // not a rate: ignored, or time itself would read NaN
  advance(1);
  EXPECT_EQ(player->rate(), 0);
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(player->currentTime()), 1.1);
  player->setRate(2);
  advance(1);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(player->rate(), 0);
  EXPECT_EQ(player->currentTime(), item->duration());
  EXPECT_EQ(rate.values.back().asDouble(), 0.0);
  ASSERT_GE(ticks.size(), 3u);
  EXPECT_DOUBLE_EQ(ticks.back(), CMTimeGetSeconds(item->duration()));  // stopped at the end

  // Playing at the end ends again at once; an observer removed right after
  // play() hears nothing, not even the start already on its way to it.
  size_t heard = ticks.size();
  player->play();
  player->removeTimeObserver(token);
  advance(0.1);
  EXPECT_EQ(ends, 2);
  EXPECT_EQ(player->rate(), 0);
  EXPECT_EQ(ticks.size(), heard);
  NSNotificationCenter::defaultCenter().removeObserver(this);
}

TEST_F(PlaybackTest, AMainQueueObserverHearsTheStartInTheTurnThatDeliversIt) {
  auto item = AVPlayerItem::playerItemWithURL(fileURL(movie("clip.mp4")));
  auto player = AVPlayer::playerWithPlayerItem(item);
  ASSERT_TRUE(settle(item));
  std::vector<std::string> order;
  auto token = player->addPeriodicTimeObserverForInterval(
      CMTimeMake(1, 1), nullptr, [&](CMTime) { order.push_back("tick"); });
  NSRunLoop::mainRunLoop().runUntilIdle();
  order.clear();
  // The start is on its way to the main thread once play() returns; the
  // delivery that is already there must not queue behind later work.
  player->play();
  dispatch_async(dispatch_get_main_queue(), [&] { order.push_back("queued after play"); });
  NSRunLoop::mainRunLoop().runUntilIdle();
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.front(), "tick");
  player->pause();
  player->removeTimeObserver(token);
  NSRunLoop::mainRunLoop().runUntilIdle();
}

TEST_F(PlaybackTest, LayerShowsTheDecodedPictureForTheCurrentTimeAndSeeksFromKeyFrames) {
  FixtureMovie fixture;
  fixture.withAudio = true;
  fixture.frames = 90;  // three seconds, key frames at 0, 1 and 2 s
  auto item = AVPlayerItem::playerItemWithURL(fileURL(movie("clip.mp4", fixture)));
  auto player = AVPlayer::playerWithPlayerItem(item);
  auto layer = AVPlayerLayer::playerLayerWithPlayer(player);
  ASSERT_TRUE(settle(item));
  ASSERT_TRUE(layer->isReadyForDisplay());
  CGRect full = CGRectMake(0, 0, 160, 90);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), full), 0);

  player->play();
  advance(0.5);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), full), 15);
  advance(0.025);  // three quarters of the way to the next picture: the earlier one still shows
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), full), 15);
  advance(0.7 - 0.025);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}, "avfoundation-playing"), full), 36);

  // A seek forward past a key frame and one back before it both land on
  // the exact picture; time stands still until the picture is there.
  std::vector<bool> finished;
  player->seekToTime(CMTimeMake(71, 30), kCMTimeZero, kCMTimeZero, [&](bool f) { finished.push_back(f); });
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(player->currentTime()), 71.0 / 30);
  ASSERT_TRUE(RunMainLoopUntil([&] { return !finished.empty(); }));
  EXPECT_TRUE(finished[0]);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), full), 71);
  player->seekToTime(CMTimeMake(1, 1), kCMTimeZero, kCMTimeZero, [&](bool f) { finished.push_back(f); });
  player->seekToTime(CMTimeMake(13, 30), kCMTimeZero, kCMTimeZero, [&](bool f) { finished.push_back(f); });
  ASSERT_TRUE(RunMainLoopUntil([&] { return finished.size() == 3; }));
  EXPECT_FALSE(finished[1]);  // overtaken by the next seek
  EXPECT_TRUE(finished[2]);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), full), 13);
  advance(1.0);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), full), 43);
  player->pause();

  // Video gravity: aspect fit letterboxes a square, fill crops, resize stretches.
  CGImageRef fit = render(layer, {90, 90});
  CGRect fitted = layer->videoRect();
  EXPECT_DOUBLE_EQ(fitted.size.width, 90);
  EXPECT_NEAR(fitted.size.height, 90.0 * 90 / 160, 1e-9);
  EXPECT_EQ(ReadFixturePictureIndex(fit, fitted), 43);
  EXPECT_LT(RGBAPixels(fit)[(2 * 90 + 45) * 4 + 2], 20);  // a black bar above the picture
  layer->setVideoGravity(AVLayerVideoGravityResizeAspectFill);
  CGImageRef fill = render(layer, {90, 90}, "avfoundation-fill");
  EXPECT_DOUBLE_EQ(layer->videoRect().size.height, 90);
  EXPECT_DOUBLE_EQ(layer->videoRect().size.width, 160);
  auto fillPixels = RGBAPixels(fill);
  EXPECT_GT(fillPixels[(2 * 90 + 45) * 4 + 2], 150);  // the blue band reaches the top
  layer->setVideoGravity(AVLayerVideoGravityResize);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {90, 90}), CGRectMake(0, 0, 90, 90)), 43);

  // A seek before the start lands on the start: playing from there moves
  // time at once rather than first crossing the negative stretch.
  finished.clear();
  player->seekToTime(CMTimeMake(-1, 1), kCMTimeZero, kCMTimeZero, [&](bool f) { finished.push_back(f); });
  ASSERT_TRUE(RunMainLoopUntil([&] { return !finished.empty(); }));
  EXPECT_TRUE(finished[0]);
  EXPECT_EQ(CMTimeGetSeconds(player->currentTime()), 0);
  player->play();
  advance(0.5);
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(player->currentTime()), 0.5);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), full), 15);
  // Played backwards, time stops at the start rather than going below it.
  player->setRate(-1);
  advance(1);
  EXPECT_EQ(CMTimeGetSeconds(player->currentTime()), 0);
  player->pause();
}

// libswscale writes whole vectors: pictures whose rows are no multiple of
// them must still land in their bitmap, and nothing past it.
TEST_F(PlaybackTest, PicturesOfAnyWidthKeepTheirPixels) {
  for (const camera_test::FrameSize size : camera_test::kUnalignedFrameSizes) {
    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
    const std::string clip = folder_.path() + "/clip" + std::to_string(size.width) + ".avi";
    ASSERT_TRUE(camera_test::WriteClip(clip, size.width, size.height, 2, 10));
    std::atomic<bool> cancelled{false};
    NSErrorPtr error;
    auto reader = AVLibavPlaybackProvider().openVideo(fileURL(clip), cancelled, &error);
    ASSERT_TRUE(reader) << (error ? error->localizedDescription() : "");
    for (int index = 0; index < 2; ++index) {
      auto picture = reader->nextPicture(&error);
      ASSERT_TRUE(picture);
      EXPECT_TRUE(camera_test::ShowsPattern(picture->image(), size.width, size.height, index));
    }
  }
}

TEST_F(PlaybackTest, DecodingStaysAFewPicturesAheadWhateverTheLength) {
  auto provider = std::make_shared<ScriptedPlaybackProvider>();
  AVPlaybackProvider::setShared(provider);
  FixtureMovie fixture;
  fixture.frames = 255;  // the most the stripes can number
  auto item = AVPlayerItem::playerItemWithURL(fileURL(movie("long.mp4", fixture)));
  auto player = AVPlayer::playerWithPlayerItem(item);
  auto layer = AVPlayerLayer::playerLayerWithPlayer(player);
  ASSERT_TRUE(settle(item));
  player->play();
  for (int i = 1; i <= 8; ++i) {
    advance(1);
    EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), CGRectMake(0, 0, 160, 90)), 30 * i);
  }
  player->pause();
  // The picture shown, the ones ahead and one being handed over.
  EXPECT_LE(provider->mostLivePictures(), int(AVPlaybackPipeline::kPicturesAhead) + 2);
  EXPECT_GE(provider->mostLivePictures(), 2);
}

TEST_F(PlaybackTest, EveryDecoderSeekHearsHowItEnded) {
  auto provider = std::make_shared<ScriptedPlaybackProvider>();
  auto pipeline = std::make_shared<AVPlaybackPipeline>(fileURL(movie("clip.mp4")), provider);
  bool opened = false;
  AVPlaybackPipeline::Events events;
  events.opened = [&](NSErrorPtr error, bool hasVideo, CGSize) { opened = !error && hasVideo; };
  pipeline->start(std::move(events));
  std::vector<bool> finished;
  pipeline->seek(1.0, [&](bool f) { finished.push_back(f); });
  pipeline->seek(0.5, [&](bool f) { finished.push_back(f); });
  ASSERT_TRUE(RunMainLoopUntil([&] { return finished.size() == 2; }));
  EXPECT_TRUE(opened);
  EXPECT_FALSE(finished[0]);  // overtaken
  EXPECT_TRUE(finished[1]);

  // A seek still decoding when the item stops ends too, as not finished.
  provider->holdPicturesAfter(0);
  pipeline->seek(1.5, [&](bool f) { finished.push_back(f); });
  ASSERT_TRUE(RunMainLoopUntil([&] { return provider->waiting() == 1; }));
  pipeline->stop();
  ASSERT_TRUE(RunMainLoopUntil([&] { return finished.size() == 3; }));
  EXPECT_FALSE(finished[2]);
  provider->release();
}

TEST_F(PlaybackTest, ItemsWaitForTheirAssetAndAStalledDecoderHoldsTimeUntilPicturesFlow) {
  auto provider = std::make_shared<ScriptedPlaybackProvider>();
  AVPlaybackProvider::setShared(provider);
  provider->holdLoading();
  provider->holdPicturesAfter(0);
  auto item = AVPlayerItem::playerItemWithURL(fileURL(movie("clip.mp4")));
  auto player = AVPlayer::playerWithPlayerItem(item);
  auto layer = AVPlayerLayer::playerLayerWithPlayer(player);
  player->play();
  // The decoder has opened and waits for pictures; the asset's keys wait too.
  ASSERT_TRUE(RunMainLoopUntil([&] { return provider->waiting() == 2; }));
  drainMainLoop();
  EXPECT_EQ(item->status(), AVPlayerItemStatusUnknown);
  EXPECT_TRUE(CMTIME_IS_INDEFINITE(item->duration()));
  provider->releaseLoading();
  ASSERT_TRUE(RunMainLoopUntil([&] { return item->status() == AVPlayerItemStatusReadyToPlay; }));
  EXPECT_NEAR(CMTimeGetSeconds(item->duration()), 2.0, 0.05);
  EXPECT_TRUE(item->isPlaybackBufferEmpty());
  EXPECT_FALSE(item->isPlaybackLikelyToKeepUp());
  EXPECT_FALSE(layer->isReadyForDisplay());  // ready, but no picture to show yet
  advance(1);
  EXPECT_EQ(CMTimeGetSeconds(player->currentTime()), 0);  // waiting, not playing
  provider->release();
  ASSERT_TRUE(settle(item));
  EXPECT_TRUE(layer->isReadyForDisplay());
  EXPECT_FALSE(item->isPlaybackBufferEmpty());
  EXPECT_TRUE(item->isPlaybackLikelyToKeepUp());
  advance(1);
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(player->currentTime()), 1);
  player->pause();
}

TEST_F(PlaybackTest, ItemsFailWithTheirErrorAtBoundedCost) {
  std::string text = folder_.path() + "/notes.mp4";
  std::ofstream(text) << "These are notes, not a movie.\n";
  std::string hugePath = folder_.path() + "/huge.h264";
  ASSERT_TRUE(WriteHugeH264Stream(hugePath, 100000));
  // Wider than a player plays, and small: refused all the same, while its
  // file still exports, the streams copied undecoded.
  std::string widePath = folder_.path() + "/wide.mov";
  ASSERT_TRUE(camera_test::WriteClip(widePath, kAVMaxVideoSide + 8, 16, 2, 10));
  struct Case {
    NSURLPtr url;
    int64_t code;
    bool exports = false;
  };
  std::vector<Case> cases = {
      {fileURL(folder_.path() + "/missing.mov"), NSURLErrorFileDoesNotExist},
      {fileURL(text), AVErrorFileFormatNotRecognized},
      {fileURL(hugePath), AVErrorDecodeFailed},
      {fileURL(widePath), AVErrorDecodeFailed, true},
  };
  for (auto& c : cases) {
    if (c.exports) {
      auto session = AVAssetExportSession::exportSessionWithAsset(
          AVURLAsset::URLAssetWithURL(c.url), AVAssetExportPresetPassthrough);
      ASSERT_TRUE(session) << c.url->absoluteString();
      const std::string target = c.url->path() + ".export.mov";
      session->setOutputFileType(AVFileTypeQuickTimeMovie);
      session->setOutputURL(fileURL(target));
      auto done = dispatch_semaphore_create(0);
      session->exportAsynchronouslyWithCompletionHandler([done] { dispatch_semaphore_signal(done); });
      ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
      EXPECT_EQ(session->status(), AVAssetExportSessionStatusCompleted) << c.url->absoluteString();
      EXPECT_EQ(AVProbeMediaFile(target).videoSize, AVProbeMediaFile(c.url->path()).videoSize);
    }
    auto item = AVPlayerItem::playerItemWithURL(c.url);
    Recorder status(*item, "status");
    auto player = AVPlayer::playerWithPlayerItem(item);
    player->play();
    ASSERT_TRUE(settle(item)) << c.url->absoluteString();
    EXPECT_EQ(item->status(), AVPlayerItemStatusFailed) << c.url->absoluteString();
    ASSERT_TRUE(item->error()) << c.url->absoluteString();
    EXPECT_EQ(item->error()->code(), c.code) << c.url->absoluteString() << " " << item->error()->description();
    EXPECT_EQ(status.values.back().asInt64(), AVPlayerItemStatusFailed);
    advance(1);
    EXPECT_EQ(CMTimeGetSeconds(player->currentTime()), 0);
    bool finished = true;
    player->seekToTime(CMTimeMake(1, 1), kCMTimeZero, kCMTimeZero, [&](bool f) { finished = f; });
    drainMainLoop();
    EXPECT_FALSE(finished);
  }

  // The asset's keys failing fails the item with their error, even though
  // the decoder opened the file.
  {
    auto provider = std::make_shared<ScriptedPlaybackProvider>();
    AVPlaybackProvider::setShared(provider);
    provider->failLoadingWith(NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorTimedOut));
    auto item = AVPlayerItem::playerItemWithURL(fileURL(movie("slow.mp4")));
    auto player = AVPlayer::playerWithPlayerItem(item);
    ASSERT_TRUE(settle(item));
    EXPECT_EQ(item->status(), AVPlayerItemStatusFailed);
    ASSERT_TRUE(item->error());
    EXPECT_EQ(item->error()->code(), NSURLErrorTimedOut);
    AVPlaybackProvider::setShared(nullptr);
  }

  // A container claiming a size its stream does not have plays at the
  // stream's own size.
  FixtureMovie lying;
  lying.claimedSide = 100000;
  lying.frames = 3;
  auto item = AVPlayerItem::playerItemWithURL(fileURL(movie("lying.mkv", lying)));
  auto player = AVPlayer::playerWithPlayerItem(item);
  ASSERT_TRUE(settle(item));
  EXPECT_EQ(item->status(), AVPlayerItemStatusReadyToPlay);
  EXPECT_EQ(item->presentationSize().width, 160);
}

TEST_F(PlaybackTest, ReplacingTheItemRestartsTimeAndEndsAPendingSeek) {
  auto provider = std::make_shared<ScriptedPlaybackProvider>();
  AVPlaybackProvider::setShared(provider);
  auto first = AVPlayerItem::playerItemWithURL(fileURL(movie("a.mp4")));
  auto player = AVPlayer::playerWithPlayerItem(first);
  ASSERT_TRUE(settle(first));
  player->play();
  advance(1.2);
  provider->holdPicturesAfter(0);
  std::optional<bool> finished;
  player->seekToTime(CMTimeMake(1, 2), kCMTimeZero, kCMTimeZero, [&](bool f) { finished = f; });
  auto second = AVPlayerItem::playerItemWithURL(fileURL(movie("b.mp4")));
  Recorder current(*player, "currentItem");
  player->replaceCurrentItemWithPlayerItem(second);
  ASSERT_TRUE(RunMainLoopUntil([&] { return finished.has_value(); }));
  EXPECT_FALSE(*finished);
  EXPECT_EQ(current.values.size(), 2u);
  EXPECT_EQ(player->currentItem(), second);
  EXPECT_EQ(CMTimeGetSeconds(player->currentTime()), 0);
  EXPECT_EQ(first->currentTime(), kCMTimeZero);
  provider->release();
  ASSERT_TRUE(settle(second));
  advance(0.5);  // the rate carried over
  EXPECT_DOUBLE_EQ(CMTimeGetSeconds(player->currentTime()), 0.5);
  player->replaceCurrentItemWithPlayerItem(nullptr);
  EXPECT_EQ(player->currentTime(), kCMTimeZero);
  player->pause();
}

TEST_F(PlaybackTest, RemoteVideosStreamThroughTheURLSessionAndPlayBeforeTheyHaveArrived) {
  LoopbackHttpServer server;
  FixtureMovie fixture;
  fixture.fastStart = true;
  fixture.frames = 240;
  std::string path = movie("clip.mp4", fixture);
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  ScriptedResponse response(200, {{"Content-Type", "video/mp4"}}, bytes, /*chunked=*/true);
  response.chunkSize = bytes.size() / 2;
  response.bodyGate = "rest";
  server.script("/clip.mp4", response);

  auto item = AVPlayerItem::playerItemWithURL(NSURL::URLWithString(server.url("/clip.mp4")));
  auto player = AVPlayer::playerWithPlayerItem(item);
  auto layer = AVPlayerLayer::playerLayerWithPlayer(player);
  // Ready on the first half of the file.
  ASSERT_TRUE(settle(item));
  ASSERT_EQ(item->status(), AVPlayerItemStatusReadyToPlay);
  EXPECT_NEAR(CMTimeGetSeconds(item->duration()), 8.0, 0.05);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), CGRectMake(0, 0, 160, 90)), 0);
  server.openGate("rest");
  player->play();
  advance(7.9);
  EXPECT_EQ(ReadFixturePictureIndex(render(layer, {160, 90}), CGRectMake(0, 0, 160, 90)), 237);
  player->pause();

  struct Case {
    std::string url;
    std::string domain;
    int64_t code;
  };
  std::vector<Case> cases = {
      {server.url("/missing.mp4"), AVFoundationErrorDomain, AVErrorServerIncorrectlyConfigured},
      {"http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/clip.mp4", NSURLErrorDomain,
       NSURLErrorCannotConnectToHost},
  };
  for (auto& c : cases) {
    auto failing = AVPlayerItem::playerItemWithURL(NSURL::URLWithString(c.url));
    auto other = AVPlayer::playerWithPlayerItem(failing);
    ASSERT_TRUE(settle(failing)) << c.url;
    EXPECT_EQ(failing->status(), AVPlayerItemStatusFailed) << c.url;
    ASSERT_TRUE(failing->error()) << c.url;
    EXPECT_EQ(failing->error()->domain(), c.domain) << c.url;
    EXPECT_EQ(failing->error()->code(), c.code) << c.url;
  }
}

}  // namespace playback_test

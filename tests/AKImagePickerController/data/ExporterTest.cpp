#include <fcntl.h>
#include <sys/file.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>

#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "AKImagePickerController/data/PickerTestSupport.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIApplication.h"

namespace exporter_test {

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The hidden folders exports work in ("." followed by "tmp"), by name.
std::vector<std::string> workFolders(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& name : NSFileManager::defaultManager()->contentsOfDirectoryAtPath(dir).value_or(
           std::vector<std::string>{})) {
    if (name.rfind(".tmp", 0) == 0) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string text(const std::string& file) {
  auto data = NSData::dataWithContentsOfFile(file);
  return data ? std::string(data->vector().begin(), data->vector().end()) : "";
}

std::string base64(const std::string& text) {
  return Base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace

class ExporterTest : public PickerTest {
 protected:
  void SetUp() override {
    PickerTest::SetUp();
    exportRoot_ = folder_->path() + "/Exports";
    configuration_.exportDirectory = NSURL::fileURLWithPath(exportRoot_, true);
  }
  void TearDown() override {
    // Requests still queued keep their exporters: end them before the checks.
    PickerTest::TearDown();
  }

  // Runs an export and waits (bounded) for its completion on the main thread.
  Value exportAndWait(const AKImageAssetExporterPtr& exporter, const std::vector<AKAssetPtr>& assets,
                      int32_t* requestID = nullptr) {
    Value result;
    bool done = false;
    long endsBefore = watched_ ? std::count_if(watched_->events.begin(), watched_->events.end(),
                                               [](const std::string& e) { return e.rfind("end ", 0) == 0; })
                                : 0;
    int32_t id = exporter->exportAssetsAsynchronously(assets, [&](const Value& info) {
      EXPECT_TRUE(NSThread::isMainThread());
      // Every asset has ended, and its did-end callback come, before the request.
      if (watched_) {
        EXPECT_EQ(std::count_if(watched_->events.begin(), watched_->events.end(),
                                [](const std::string& e) { return e.rfind("end ", 0) == 0; }),
                  static_cast<long>(assets.size()) + endsBefore);
      }
      for (auto& asset : assets) EXPECT_TRUE(asset->localTemporaryPath() || asset->error());
      result = info;
      done = true;
    });
    if (requestID) *requestID = id;
    for (int i = 0; i < 400 && !done; ++i) NSRunLoop::mainRunLoop().runOnce(0.05);
    EXPECT_TRUE(done);
    return result;
  }
  AKAssetPtr libraryAsset(const std::string& name) {
    PHPhotoLibrary::sharedPhotoLibrary()->synchronize();
    auto all = PHAsset::fetchAssetsWithOptions(nullptr);
    for (auto& asset : all->objects()) {
      if (asset->record().relativePath == name) return AKAsset::initWithOriginalAsset(asset);
    }
    ADD_FAILURE() << "no asset " << name;
    return nullptr;
  }
  ScriptedAnswer dataOf(const std::string& file) {
    ScriptedAnswer answer;
    answer.data = NSData::dataWithContentsOfFile(file);
    return answer;
  }
  static bool cancelled(const Value& info) { return info.find(AKImageAssetExportResultCancelledKey)->asBool(); }
  // Holds the write queue until the answered semaphore is signalled.
  static dispatch_semaphore_t holdWriteQueue() {
    auto release = dispatch_semaphore_create(0);
    dispatch_async(AKImageAssetExporter::ioQueue(), [release] {
      DispatchBlockingScope blocking;
      dispatch_semaphore_wait(release, dispatch_time_after(kTestTimeoutSeconds));
    });
    return release;
  }
  // The library photos a.jpg and b.jpg, an exporter and an observer of it.
  struct TwoPhotos {
    AKAssetPtr a, b;
    AKImageAssetExporterPtr exporter;
    std::shared_ptr<RecordingObserver> observer;
  };
  TwoPhotos twoPhotos() {
    EXPECT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
    EXPECT_TRUE(WriteFixtureImage(path("b.jpg"), "public.jpeg", 8, 8));
    TwoPhotos out{libraryAsset("a.jpg"), libraryAsset("b.jpg"),
                  AKImageAssetExporter::initWithConfiguration(configuration_), std::make_shared<RecordingObserver>()};
    out.exporter->add(out.observer);
    return out;
  }

  AKImageAssetExporterConfiguration configuration_;
  std::string exportRoot_;
  // When set, the observer whose did-end callbacks each completion checks.
  std::shared_ptr<RecordingObserver> watched_;
};

TEST_F(ExporterTest, ConfigurationDefaultsAndCopies) {
  AKImageAssetExporterConfiguration fresh;
  EXPECT_EQ(fresh.imageExportPreset, 0);
  EXPECT_EQ(fresh.videoExportPreset, "AVAssetExportPresetHighestQuality");
  EXPECT_EQ(fresh.avOutputFileType, "com.apple.quicktime-movie");
  EXPECT_EQ(fresh.compressionQuality, 0.9);
  EXPECT_EQ(fresh.exportDirectory->lastPathComponent(), "AKImageAssetExporter");
  EXPECT_EQ(fresh.exportDirectory->URLByDeletingLastPathComponent()->path() + "/", NSTemporaryDirectory());

  class Special : public AKImageAssetExporterConfiguration {
   public:
    std::shared_ptr<AKImageAssetExporterConfiguration> copy() const override {
      return std::make_shared<Special>(*this);
    }
  };
  Special special;
  auto copy = special.copy();
  EXPECT_TRUE(std::dynamic_pointer_cast<Special>(copy));
  copy->compressionQuality = 0.1;
  EXPECT_EQ(special.compressionQuality, 0.9);

  EXPECT_TRUE(AKImageAssetExporter::isHEIC(NSData::dataWithBytes(Bytes{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'})));
  EXPECT_FALSE(AKImageAssetExporter::isHEIC(NSData::dataWithBytes(Bytes{1, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'})));
  EXPECT_FALSE(AKImageAssetExporter::isHEIC(NSData::dataWithBytes(Bytes{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i'})));
  EXPECT_FALSE(AKImageAssetExporter::isHEIC(NSData::dataWithBytes(Bytes{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'm', 'i', 'f', '1'})));
  // Every HEIF/HEVC brand converts, the sequence variants too.
  for (const char* brand : {"heic", "heix", "hevc", "hevx"}) {
    Bytes header{0, 0, 0, 0x18, 'f', 't', 'y', 'p'};
    header.insert(header.end(), brand, brand + 4);
    EXPECT_TRUE(AKImageAssetExporter::isHEIC(NSData::dataWithBytes(header))) << brand;
  }
  EXPECT_EQ(AKImageAssetExporter::sanitizedFileName("../../etc/passwd", "x"), "passwd");
  EXPECT_EQ(AKImageAssetExporter::sanitizedFileName("..", "Image.jpg"), "Image.jpg");
  EXPECT_EQ(AKImageAssetExporter::sanitizedFileName(std::string("a\0b\x01.jpg", 8), "x"), "ab.jpg");
  EXPECT_EQ(AKImageAssetExporter::sanitizedFileName("", "Video.mov"), "Video.mov");
}

TEST_F(ExporterTest, PhotosAreWrittenIntoThePartsDirectoryLayout) {
  ASSERT_TRUE(WriteFixtureImage(path("IMG_0001.HEIC"), "public.heic", 16, 16));
  ASSERT_TRUE(WriteFixtureImage(path("pic.heif"), "public.heic", 16, 16));
  ASSERT_TRUE(WriteFixtureImage(path("plain.jpg"), "public.jpeg", 16, 16));
  // Last written 2021-01-01 00:00:00.5 UTC: 631152000.5 s after 2001 began.
  const struct timespec lastWritten[2] = {{1609459200, 500000000}, {1609459200, 500000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path("IMG_0001.HEIC").c_str(), lastWritten, 0), 0);
  auto heic = libraryAsset("IMG_0001.HEIC");
  auto heif = libraryAsset("pic.heif");
  auto jpeg = libraryAsset("plain.jpg");
  auto memory = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(6, 6)));
  auto memory2 = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(6, 6)));
  provider_->queueAnswer(dataOf(path("IMG_0001.HEIC")));
  provider_->queueAnswer(dataOf(path("pic.heif")));
  provider_->queueAnswer(dataOf(path("plain.jpg")));

  auto exporter = AKImageAssetExporter::initWithConfiguration(configuration_);
  auto observer = std::make_shared<RecordingObserver>();
  exporter->add(observer);
  watched_ = observer;
  int32_t id = 0;
  Value info = exportAndWait(exporter, {heic, heif, jpeg, memory, memory2}, &id);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(info.find(AKImageAssetExportResultRequestIDKey)->asInt64(), 1);
  EXPECT_FALSE(cancelled(info));

  // <root>/<base64 id>/<modification date since 2001>/<preset>/<name>
  ASSERT_TRUE(heic->localTemporaryPath()) << heic->error()->localizedDescription();
  std::string dir = exportRoot_ + "/" + base64(heic->localIdentifier());
  EXPECT_EQ(heic->localTemporaryPath()->path(), dir + "/631152000.5/0/IMG_0001.jpg");
  auto written = NSData::dataWithContentsOfFile(heic->localTemporaryPath()->path());
  ASSERT_TRUE(written);
  EXPECT_EQ(written->bytes()[0], 0xFF);  // converted to JPEG
  EXPECT_EQ(heic->fileSize(), written->length());
  // A HEIC named otherwise still ends in ".jpg" once converted.
  EXPECT_EQ(*heif->fileName(), "pic.jpg");
  // Not HEIC: written as the library stores it.
  EXPECT_EQ(NSData::dataWithContentsOfFile(jpeg->localTemporaryPath()->path())->vector(),
            NSData::dataWithContentsOfFile(path("plain.jpg"))->vector());
  EXPECT_TRUE(
      workFolders(jpeg->localTemporaryPath()->URLByDeletingLastPathComponent()->path()).empty());

  // In-memory images: one level, Image.jpg, and their own folders.
  EXPECT_EQ(memory->localTemporaryPath()->path(), exportRoot_ + "/" + base64(memory->localIdentifier()) + "/Image.jpg");
  EXPECT_NE(memory->localTemporaryPath()->path(), memory2->localTemporaryPath()->path());
  EXPECT_TRUE(exists(memory2->localTemporaryPath()->path()));

  // Callbacks: will-begin in list order; each asset ends once; no error.
  size_t begins = 0, ends = 0;
  for (auto& e : observer->events) {
    begins += e.rfind("begin ", 0) == 0;
    ends += e.rfind("end ", 0) == 0;
  }
  EXPECT_EQ(begins, 5u);
  EXPECT_EQ(ends, 5u);
  EXPECT_EQ(observer->events.front(), "begin " + heic->localIdentifier());
  for (auto& asset : {heic, heif, jpeg, memory, memory2}) EXPECT_FALSE(asset->error());

  // Exported again: the file there is reused, nothing is fetched.
  size_t calls = provider_->calls().size();
  observer->events.clear();
  auto again = AKAsset::initWithOriginalAsset(heic->originalAsset());
  Value second = exportAndWait(exporter, {again}, &id);
  EXPECT_EQ(id, 2);
  EXPECT_EQ(provider_->calls().size(), calls);
  EXPECT_EQ(again->localTemporaryPath()->path(), heic->localTemporaryPath()->path());
  EXPECT_EQ(*again->fileName(), "IMG_0001.jpg");
  EXPECT_EQ(again->fileSize(), heic->fileSize());
  EXPECT_TRUE(observer->progress.empty());

  // With preset 1 the HEIC is written as it is, in a folder of its own.
  configuration_.imageExportPreset = 1;
  watched_ = nullptr;  // not an observer of the next exporter
  auto unconverted = AKImageAssetExporter::initWithConfiguration(configuration_);
  provider_->queueAnswer(dataOf(path("IMG_0001.HEIC")));
  auto original = AKAsset::initWithOriginalAsset(heic->originalAsset());
  exportAndWait(unconverted, {original}, &id);
  EXPECT_EQ(id, 3);  // one counter for every exporter
  ASSERT_TRUE(original->localTemporaryPath());
  EXPECT_EQ(original->localTemporaryPath()->lastPathComponent(), "IMG_0001.HEIC");
  EXPECT_EQ(NSData::dataWithContentsOfFile(original->localTemporaryPath()->path())->vector(),
            NSData::dataWithContentsOfFile(path("IMG_0001.HEIC"))->vector());

  // Any preset other than 0 writes the data as stored.
  configuration_.imageExportPreset = 7;
  provider_->queueAnswer(dataOf(path("IMG_0001.HEIC")));
  auto seventh = AKAsset::initWithOriginalAsset(heic->originalAsset());
  exportAndWait(AKImageAssetExporter::initWithConfiguration(configuration_), {seventh});
  ASSERT_TRUE(seventh->localTemporaryPath());
  EXPECT_EQ(seventh->localTemporaryPath()->lastPathComponent(), "IMG_0001.HEIC");
  EXPECT_EQ(seventh->localTemporaryPath()->URLByDeletingLastPathComponent()->lastPathComponent(), "7");
}

TEST_F(ExporterTest, AHEICThatCannotBeDecodedKeepsItsOwnDataAndAnImageWithoutPixelsFails) {
  NSDataPtr broken = il_test::UndecodableHEIC(64, 48);
  ASSERT_TRUE(broken && broken->writeToFile(path("IMG_0002.HEIC"), true));
  ASSERT_TRUE(WriteFixtureImage(path("IMG_0003.HEIC"), "public.heic", 64, 48));
  auto exporter = AKImageAssetExporter::initWithConfiguration(configuration_);
  EXPECT_FALSE(exporter->imageToJPEG(broken));

  // The compatible export makes a JPEG only where there is one to make: the
  // HEIC is written as the library stores it, under its own name, beside a
  // good HEIC converted as before.
  auto heic = libraryAsset("IMG_0002.HEIC");
  auto good = libraryAsset("IMG_0003.HEIC");
  provider_->queueAnswer(dataOf(path("IMG_0002.HEIC")));
  provider_->queueAnswer(dataOf(path("IMG_0003.HEIC")));
  exportAndWait(exporter, {heic, good});
  EXPECT_FALSE(heic->error());
  ASSERT_TRUE(heic->localTemporaryPath());
  EXPECT_EQ(heic->localTemporaryPath()->lastPathComponent(), "IMG_0002.HEIC");
  EXPECT_EQ(NSData::dataWithContentsOfFile(heic->localTemporaryPath()->path())->vector(),
            broken->vector());
  ASSERT_TRUE(good->localTemporaryPath());
  EXPECT_EQ(good->localTemporaryPath()->lastPathComponent(), "IMG_0003.jpg");

  // An image of the app's own whose pixels cannot be made has no data to
  // keep: it ends with an error and no file.
  auto memory = AKAsset::initWithImage(UIImage::imageWithCGImage(CGImage::createLazy(
      6, 6, 8, 32, 24, kCGImageAlphaNoneSkipLast, [] { return std::shared_ptr<const Bytes>(); })));
  exportAndWait(exporter, {memory});
  EXPECT_FALSE(memory->localTemporaryPath());
  ASSERT_TRUE(memory->error());
  EXPECT_EQ(memory->error()->localizedDescription(), "Failed to encode image.");
}

TEST_F(ExporterTest, FailuresLinksAndHiddenLeftoversEndAssetsWithoutStoppingTheRequest) {
  auto [a, b, exporter, observer] = twoPhotos();

  // Another export of b (another process's) is writing in a hidden ".tmp"
  // folder: that does not count as an exported file, nor does a hidden file
  // beside it, and its work is left alone.
  std::string bDir = exporter->generateTemporaryPath(*b)->path();
  NSFileManager::defaultManager()->createDirectoryAtPath(bDir + "/.tmp", true);
  ASSERT_TRUE(WriteFileAtomically(bDir + "/.tmp/b.jpg", "theirs", 6));
  ASSERT_TRUE(WriteFileAtomically(bDir + "/.DS_Store", "x", 1));
  // A link planted where a's file goes is never written through.
  std::string aDir = exporter->generateTemporaryPath(*a)->path();
  std::string outside = folder_->path() + "/outside.jpg";
  ASSERT_EQ(symlink(outside.c_str(), (aDir + "/.tmp").c_str()), 0);

  ScriptedAnswer none;  // the library delivers no data for a
  none.thread = ScriptedAnswer::Thread::Background;
  provider_->queueAnswer(none);
  provider_->queueAnswer(dataOf(path("b.jpg")));
  Value info = exportAndWait(exporter, {a, b});
  EXPECT_FALSE(cancelled(info));
  ASSERT_TRUE(a->error());
  EXPECT_EQ(a->error()->domain(), "AKImageAssetExporterDomain");
  EXPECT_EQ(a->error()->code(), 1);
  EXPECT_EQ(a->error()->localizedDescription(), "Failed to fetch image data.");
  EXPECT_FALSE(a->localTemporaryPath());
  ASSERT_TRUE(b->localTemporaryPath());
  EXPECT_EQ(b->localTemporaryPath()->lastPathComponent(), "b.jpg");
  EXPECT_EQ(*b->fileName(), "b.jpg");
  EXPECT_EQ(text(b->localTemporaryPath()->path()), text(path("b.jpg")));
  EXPECT_EQ(text(bDir + "/.tmp/b.jpg"), "theirs");
  EXPECT_EQ(workFolders(bDir), std::vector<std::string>{".tmp"});

  // Now a's data arrives, with a link in place of its ".tmp" folder.
  provider_->queueAnswer(dataOf(path("a.jpg")));
  auto retry = AKAsset::initWithOriginalAsset(a->originalAsset());
  exportAndWait(exporter, {retry});
  ASSERT_TRUE(retry->localTemporaryPath());
  EXPECT_FALSE(exists(outside));
  EXPECT_EQ(workFolders(aDir), std::vector<std::string>{".tmp"}) << "only the planted link";

  // A link where the file itself goes is refused.
  ASSERT_TRUE(WriteFixtureImage(path("c.jpg"), "public.jpeg", 8, 8));
  auto c = libraryAsset("c.jpg");
  std::string cDir = exporter->generateTemporaryPath(*c)->path();
  ASSERT_EQ(symlink(outside.c_str(), (cDir + "/c.jpg").c_str()), 0);  // not reused either
  provider_->queueAnswer(dataOf(path("c.jpg")));
  exportAndWait(exporter, {c});
  EXPECT_FALSE(c->localTemporaryPath());
  ASSERT_TRUE(c->error());
  EXPECT_EQ(c->error()->code(), ELOOP);
  EXPECT_FALSE(exists(outside));
}

// Assets picked before their files were renamed, moved or removed, read
// through the library itself: each is exported from where the library has
// it now, under its name there, or ends with the failed-fetch error.
TEST_F(ExporterTest, FilesRenamedSinceThePickAreExportedFromTheirNewPlaceAndGoneOnesFail) {
  PHImageManager::setDefaultMediaProvider(nullptr);
  folder_->makeFolder("Library/Old");
  struct Case {
    const char* before;
    const char* moveFrom;  // what is renamed (nothing: removed)
    const char* moveTo;
    const char* after;     // the file now ("": none)
    const char* exported;  // its name in the export
  };
  const Case cases[] = {
      {"a.jpg", "a.jpg", "b.jpg", "b.jpg", "b.jpg"},
      {"c.jpg", "c.jpg", "Album/c.jpg", "Album/c.jpg", "c.jpg"},
      {"Old/d.jpg", "Old", "New", "New/d.jpg", "d.jpg"},
      {"e.jpg", "e.jpg", nullptr, "", ""},
      {"v.mp4", "v.mp4", "w.mp4", "w.mp4", "w.mov"},  // remuxed as QuickTime
  };
  std::vector<AKAssetPtr> assets;
  for (const Case& c : cases) {
    ASSERT_TRUE(std::string(c.before).ends_with(".mp4") ? WriteFixtureVideo(path(c.before), 16, 16, 3)
                                                        : WriteFixtureImage(path(c.before), "public.jpeg", 8, 8));
  }
  for (const Case& c : cases) assets.push_back(libraryAsset(c.before));
  folder_->makeFolder("Library/Album");
  for (const Case& c : cases) {
    std::error_code error;
    if (c.moveTo) {
      std::filesystem::rename(path(c.moveFrom), path(c.moveTo), error);
    } else {
      std::filesystem::remove(path(c.moveFrom), error);
    }
    ASSERT_FALSE(error) << c.before;
  }
  exportAndWait(AKImageAssetExporter::initWithConfiguration(configuration_), assets);
  for (size_t i = 0; i < assets.size(); ++i) {
    const Case& c = cases[i];
    const auto& asset = assets[i];
    if (!*c.after) {
      EXPECT_FALSE(asset->localTemporaryPath()) << c.before;
      ASSERT_TRUE(asset->error()) << c.before;
      EXPECT_EQ(asset->error()->code(), int64_t(AKImageAssetExporterError::exportFailed));
      EXPECT_EQ(asset->error()->localizedDescription(), "Failed to fetch image data.");
      continue;
    }
    ASSERT_TRUE(asset->localTemporaryPath()) << c.before << ": " << asset->error()->localizedDescription();
    EXPECT_EQ(asset->fileName(), std::string(c.exported)) << c.before;
    if (asset->type() == AKAssetType::video) {
      EXPECT_TRUE(AVProbeMediaFile(asset->localTemporaryPath()->path()).readable);
    } else {
      EXPECT_EQ(text(asset->localTemporaryPath()->path()), text(path(c.after))) << c.before;
    }
  }
}

TEST_F(ExporterTest, NamesFromTheLibraryBecomeOneSafeComponentAndVideosWriteThroughNoLink) {
  // Control characters are legal in Linux file names, not in exported ones.
  std::string odd = std::string("bad\x01na\nme.jpg");
  ASSERT_TRUE(WriteFixtureImage(path(odd), "public.jpeg", 8, 8));
  auto photo = libraryAsset(odd);
  provider_->queueAnswer(dataOf(path(odd)));

  std::string movie = folder_->path() + "/clip\x02.mp4";
  ASSERT_TRUE(WriteFixtureVideo(movie, 16, 16, 3));
  ASSERT_TRUE(WriteFixtureVideo(path("v.mp4"), 16, 16, 3));
  auto video = libraryAsset("v.mp4");
  ScriptedAnswer av;
  av.avAsset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie));
  provider_->queueAnswer(av);

  auto exporter = AKImageAssetExporter::initWithConfiguration(configuration_);
  // A link planted as the video's hidden folder is never written through.
  std::string videoDir = exporter->generateTemporaryPath(*video)->path();
  std::string outside = folder_->path() + "/outside";
  NSFileManager::defaultManager()->createDirectoryAtPath(outside, true);
  ASSERT_TRUE(WriteFileAtomically(outside + "/clip.mov", "keep", 4));
  ASSERT_EQ(symlink(outside.c_str(), (videoDir + "/.tmp").c_str()), 0);

  exportAndWait(exporter, {photo, video});
  ASSERT_TRUE(photo->localTemporaryPath()) << photo->error()->localizedDescription();
  EXPECT_EQ(*photo->fileName(), "badname.jpg");
  EXPECT_EQ(photo->localTemporaryPath()->lastPathComponent(), "badname.jpg");
  ASSERT_TRUE(video->localTemporaryPath()) << video->error()->localizedDescription();
  EXPECT_EQ(*video->fileName(), "clip.mov");
  EXPECT_EQ(video->localTemporaryPath()->path(), videoDir + "/clip.mov");
  // What the link pointed at is untouched.
  auto kept = NSData::dataWithContentsOfFile(outside + "/clip.mov");
  ASSERT_TRUE(kept);
  EXPECT_EQ(std::string(kept->vector().begin(), kept->vector().end()), "keep");
  EXPECT_EQ(NSFileManager::defaultManager()->contentsOfDirectoryAtPath(outside)->size(), 1u);
  EXPECT_EQ(workFolders(videoDir), std::vector<std::string>{".tmp"}) << "only the planted link";
}

TEST_F(ExporterTest, RequestsRunOneAfterAnotherAndAFileThatAppearedIsKept) {
  auto [a, b, exporter, observer] = twoPhotos();
  provider_->setDefaultAnswer(dataOf(path("a.jpg")));

  // Hold the write queue: a's data arrives, its write waits.
  auto release = holdWriteQueue();
  int done = 0;
  exporter->exportAssetsAsynchronously({a}, [&](const Value&) { ++done; });
  ASSERT_TRUE(provider_->waitForCalls(1));
  exporter->exportAssetsAsynchronously({b}, [&](const Value&) { ++done; });
  // Meanwhile a file of that name appears where a's goes: it is kept.
  std::string aDir = exporter->generateTemporaryPath(*a)->path();
  ASSERT_TRUE(WriteFileAtomically(aDir + "/a.jpg", "old", 3));
  drainMainLoop();
  // The second request has not begun while the first one's asset is open.
  EXPECT_EQ(std::count(observer->events.begin(), observer->events.end(), "begin " + b->localIdentifier()), 0);
  dispatch_semaphore_signal(release);
  ASSERT_TRUE(RunMainLoopUntil([&] { return done == 2; }));
  auto endA = std::find(observer->events.begin(), observer->events.end(), "end " + a->localIdentifier());
  auto beginB = std::find(observer->events.begin(), observer->events.end(), "begin " + b->localIdentifier());
  EXPECT_LT(endA, beginB);
  EXPECT_FALSE(a->error());
  ASSERT_TRUE(a->localTemporaryPath());
  EXPECT_EQ(a->localTemporaryPath()->path(), aDir + "/a.jpg");
  EXPECT_EQ(a->fileSize(), 3u);
  ASSERT_TRUE(b->localTemporaryPath());

  // An edited photo (a later modification date) gets a directory of its own.
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("a.jpg").c_str(), later, 0), 0);
  auto edited = libraryAsset("a.jpg");
  ASSERT_EQ(edited->localIdentifier(), a->localIdentifier());
  exportAndWait(exporter, {edited});
  ASSERT_TRUE(edited->localTemporaryPath());
  EXPECT_NE(edited->localTemporaryPath()->path(), a->localTemporaryPath()->path());
  EXPECT_EQ(edited->fileSize(), NSData::dataWithContentsOfFile(path("a.jpg"))->length());
}

TEST_F(ExporterTest, CancellingQueuedAndRunningRequestsEndsEveryAssetOnce) {
  auto [a, b, exporter, observer] = twoPhotos();
  bool emptyAnswered = false;
  EXPECT_EQ(exporter->exportAssetsAsynchronously({}, [&](const Value& info) {
    EXPECT_EQ(info.find(AKImageAssetExportResultRequestIDKey)->asInt64(), 0);
    EXPECT_FALSE(cancelled(info));
    emptyAnswered = true;
  }), 0);
  EXPECT_TRUE(emptyAnswered);
  EXPECT_TRUE(observer->events.empty());

  ScriptedAnswer held;
  held.result = ScriptedAnswer::Result::Never;
  provider_->setDefaultAnswer(held);
  std::vector<Value> results;
  int32_t first = exporter->exportAssetsAsynchronously({a}, [&](const Value& info) { results.push_back(info); });
  ASSERT_TRUE(provider_->waitForCalls(1));  // the first request is fetching a's data
  int32_t second = exporter->exportAssetsAsynchronously({b}, [&](const Value& info) { results.push_back(info); });
  exporter->cancel(second);
  exporter->cancel(999);  // unknown: nothing
  // The queue runs one request at a time, so the cancelled one waits for
  // the running one; cancelAll reaches the running fetch, which the library
  // answers as cancelled.
  exporter->cancelAll();
  for (int i = 0; i < 200 && results.size() < 2; ++i) NSRunLoop::mainRunLoop().runOnce(0.05);
  drainMainLoop();
  ASSERT_EQ(results.size(), 2u);  // each caller hears exactly once
  std::map<int64_t, bool> byID;
  for (auto& r : results) byID[r.find(AKImageAssetExportResultRequestIDKey)->asInt64()] = cancelled(r);
  EXPECT_EQ(byID, (std::map<int64_t, bool>{{first, true}, {second, true}}));
  for (auto& asset : {a, b}) {
    ASSERT_TRUE(asset->error());
    EXPECT_EQ(asset->error()->code(), 0);
    EXPECT_EQ(asset->error()->localizedDescription(), "The operation was cancelled.");
    EXPECT_FALSE(asset->localTemporaryPath());
    EXPECT_EQ(std::count(observer->events.begin(), observer->events.end(), "end " + asset->localIdentifier()), 1);
  }
  // The queued request never began.
  EXPECT_EQ(std::count(observer->events.begin(), observer->events.end(), "begin " + b->localIdentifier()), 0);
  EXPECT_EQ(std::count(observer->events.begin(), observer->events.end(), "begin " + a->localIdentifier()), 1);
  exporter->cancelAll();  // nothing left: nothing happens
}

// Runs a hook inside every data and video request, before the request
// call returns.
class HookedProvider : public ScriptedMediaProvider {
 public:
  std::function<void()> onRequest;
  void requestImageData(const PHImageRequest& request, PHImageDataResultHandler handler) override {
    if (onRequest) onRequest();
    ScriptedMediaProvider::requestImageData(request, std::move(handler));
  }
  void requestAVAsset(const PHVideoRequest& request, PHVideoResultHandler handler) override {
    if (onRequest) onRequest();
    ScriptedMediaProvider::requestAVAsset(request, std::move(handler));
  }
};

TEST_F(ExporterTest, ACancelAllWhileTheLibraryIsAskedReachesTheAssetBeingFetched) {
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
  ASSERT_TRUE(WriteFixtureVideo(path("v.mp4"), 16, 16, 3));
  auto hooked = std::make_shared<HookedProvider>();
  PHImageManager::setDefaultMediaProvider(hooked);
  auto exporter = AKImageAssetExporter::initWithConfiguration(configuration_);
  ScriptedAnswer held;
  held.result = ScriptedAnswer::Result::Never;
  ScriptedAnswer photoData = dataOf(path("a.jpg"));
  ScriptedAnswer movie;
  movie.avAsset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(path("v.mp4")));
  size_t checked = 0;
  for (auto& [name, answer] : std::vector<std::pair<std::string, ScriptedAnswer>>{{"a.jpg", photoData},
                                                                                {"v.mp4", movie}}) {
    auto asset = libraryAsset(name);
    // A thumbnail request of the asset is still pending: the exporter's
    // cancelAll cancels it through the asset it is fetching.
    hooked->queueAnswer(held);
    asset->fetchImage(CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFit, nullptr);
    PHImageRequestID thumbnail = hooked->calls().back().requestID;
    hooked->queueAnswer(answer);
    std::atomic<bool> fired{false};
    hooked->onRequest = [&] {
      if (!fired.exchange(true)) exporter->cancelAll();
    };
    Value info = exportAndWait(exporter, {asset});
    hooked->onRequest = nullptr;
    drainMainLoop();
    EXPECT_TRUE(fired) << name;
    EXPECT_TRUE(cancelled(info)) << name;
    auto cancels = hooked->cancelled();
    EXPECT_NE(std::find(cancels.begin(), cancels.end(), thumbnail), cancels.end()) << name;
    ASSERT_TRUE(asset->error()) << name;
    EXPECT_EQ(asset->error()->code(), 0) << name;
    ++checked;
  }
  EXPECT_EQ(checked, 2u);
}

TEST_F(ExporterTest, VideosAreRemuxedUnderTheOutputTypesExtension) {
  std::string movie = folder_->path() + "/clip.mp4";
  ASSERT_TRUE(WriteFixtureVideo(movie, 32, 24, 20));
  ASSERT_TRUE(WriteFixtureVideo(path("v.mp4"), 16, 16, 3));
  auto video = libraryAsset("v.mp4");
  ASSERT_EQ(video->type(), AKAssetType::video);

  ScriptedAnswer av;
  av.avAsset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie));
  av.progress = {0.5, 1.0};  // a download first
  av.thread = ScriptedAnswer::Thread::Background;
  provider_->queueAnswer(av);
  auto exporter = AKImageAssetExporter::initWithConfiguration(configuration_);
  auto observer = std::make_shared<RecordingObserver>();
  exporter->add(observer);
  exportAndWait(exporter, {video});
  ASSERT_TRUE(video->localTemporaryPath()) << video->error()->localizedDescription();
  EXPECT_EQ(*video->fileName(), "clip.mov");  // QuickTime output: ".mov"
  std::string dir = video->localTemporaryPath()->URLByDeletingLastPathComponent()->path();
  EXPECT_EQ(video->localTemporaryPath()->URLByDeletingLastPathComponent()->lastPathComponent(),
            "AVAssetExportPresetHighestQualitycom.apple.quicktime-movie");
  EXPECT_TRUE(workFolders(dir).empty());
  auto probe = AVProbeMediaFile(video->localTemporaryPath()->path());
  ASSERT_TRUE(probe.readable);
  EXPECT_EQ(probe.videoSize.width, 32);
  EXPECT_GT(video->fileSize(), 0u);
  // The download is scaled into the first 85 %; the export, too short to be
  // sampled, still ends at 1.
  EXPECT_GE(observer->progress.size(), 3u);
  EXPECT_EQ(video->progress(), 1.0);
  EXPECT_TRUE(std::is_sorted(observer->progress.begin(), observer->progress.end()));
  for (double p : observer->progress) EXPECT_LE(p, 1.0);
  {
    // Reported on the main thread, each step is heard as it was reported.
    AKImageAssetExporterConfiguration elsewhere = configuration_;
    elsewhere.exportDirectory = NSURL::fileURLWithPath(folder_->path() + "/Elsewhere", true);
    auto exporter2 = AKImageAssetExporter::initWithConfiguration(elsewhere);
    auto listener = std::make_shared<RecordingObserver>();
    exporter2->add(listener);
    av.thread = ScriptedAnswer::Thread::Main;
    provider_->queueAnswer(av);
    auto fresh = AKAsset::initWithOriginalAsset(video->originalAsset());
    exportAndWait(exporter2, {fresh});
    ASSERT_TRUE(fresh->localTemporaryPath());
    ASSERT_GE(listener->progress.size(), 3u);
    EXPECT_DOUBLE_EQ(listener->progress[0], 0.5 * 0.85);
    EXPECT_DOUBLE_EQ(listener->progress[1], 0.85);
    EXPECT_EQ(listener->progress.back(), 1.0);
  }

  // MPEG-4 output keeps ".mp4"; a composition names the file after its source.
  configuration_.avOutputFileType = AVFileTypeMPEG4;
  auto mp4 = AKImageAssetExporter::initWithConfiguration(configuration_);
  AVCompositionTrackSegment segment{NSURL::fileURLWithPath(movie), 1, {0, 1}, {0, 1}};
  ScriptedAnswer composed;
  composed.avAsset = std::make_shared<AVComposition>(std::vector<AVCompositionTrackPtr>{
      std::make_shared<AVCompositionTrack>(1, AVMediaTypeVideo, 1e6f, CGSizeMake(32, 24),
                                           std::vector<AVCompositionTrackSegment>{segment})});
  provider_->queueAnswer(composed);
  auto again = AKAsset::initWithOriginalAsset(video->originalAsset());
  exportAndWait(mp4, {again});
  ASSERT_TRUE(again->localTemporaryPath());
  EXPECT_EQ(*again->fileName(), "clip.mp4");

  // No media object, and one that cannot be exported: each ends with its
  // error and the request goes on.
  configuration_.avOutputFileType = AVFileTypeQuickTimeMovie;
  configuration_.videoExportPreset = AVAssetExportPresetPassthrough;
  auto third = AKImageAssetExporter::initWithConfiguration(configuration_);
  ScriptedAnswer nothing;
  ScriptedAnswer broken;
  broken.avAsset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(folder_->path() + "/missing.mp4"));
  // A composition without a video track names its file "Video".
  ScriptedAnswer soundOnly;
  soundOnly.avAsset = std::make_shared<AVComposition>(std::vector<AVCompositionTrackPtr>{
      std::make_shared<AVCompositionTrack>(2, AVMediaTypeAudio, 1e5f, CGSizeMake(0, 0),
                                           std::vector<AVCompositionTrackSegment>{segment})});
  provider_->queueAnswer(nothing);
  provider_->queueAnswer(broken);
  provider_->queueAnswer(soundOnly);
  auto x = AKAsset::initWithOriginalAsset(video->originalAsset());
  auto y = AKAsset::initWithOriginalAsset(video->originalAsset());
  auto z = AKAsset::initWithOriginalAsset(video->originalAsset());
  Value info = exportAndWait(third, {x, y, z});
  EXPECT_EQ(*z->fileName(), "Video.mov");
  EXPECT_FALSE(cancelled(info));
  ASSERT_TRUE(x->error());
  EXPECT_EQ(x->error()->localizedDescription(), "Failed to fetch AVAsset.");
  ASSERT_TRUE(y->error());
  EXPECT_EQ(y->error()->localizedDescription(), "Can't setup AVAssetExportSession.");
  EXPECT_EQ(*y->fileName(), "missing.mov");
}

TEST_F(ExporterTest, AVideoWaitingForTheWriteQueueWhenCancelledEndsCancelledWithNoLeftovers) {
  std::string movie = folder_->path() + "/clip.mp4";
  ASSERT_TRUE(WriteFixtureVideo(movie, 32, 24, 10));
  ASSERT_TRUE(WriteFixtureVideo(path("v.mp4"), 16, 16, 3));
  auto video = libraryAsset("v.mp4");
  auto exporter = AKImageAssetExporter::initWithConfiguration(configuration_);
  // A leftover of an interrupted export sits in the asset's hidden folder.
  std::string dir = exporter->generateTemporaryPath(*video)->path();
  NSFileManager::defaultManager()->createDirectoryAtPath(dir + "/.tmp", true);
  ASSERT_TRUE(WriteFileAtomically(dir + "/.tmp/clip.mov", "partial", 7));

  // Hold the write queue so the export step waits behind this block.
  auto release = holdWriteQueue();
  ScriptedAnswer av;
  av.avAsset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie));
  provider_->queueAnswer(av);
  Value result;
  bool done = false;
  int32_t id = exporter->exportAssetsAsynchronously({video}, [&](const Value& info) {
    result = info;
    done = true;
  });
  ASSERT_TRUE(provider_->waitForCalls(1));
  exporter->cancel(id);
  dispatch_semaphore_signal(release);
  for (int i = 0; i < 200 && !done; ++i) NSRunLoop::mainRunLoop().runOnce(0.05);
  ASSERT_TRUE(done);
  EXPECT_TRUE(cancelled(result));
  ASSERT_TRUE(video->error());
  EXPECT_EQ(video->error()->code(), 0);
  EXPECT_FALSE(video->localTemporaryPath());
  EXPECT_FALSE(exists(dir + "/clip.mov"));

  // Exported again, the export works beside the leftover (whose process may
  // still run) and leaves nothing of its own behind.
  provider_->queueAnswer(av);
  auto again = AKAsset::initWithOriginalAsset(video->originalAsset());
  exportAndWait(exporter, {again});
  ASSERT_TRUE(again->localTemporaryPath());
  EXPECT_EQ(again->localTemporaryPath()->path(), dir + "/clip.mov");
  EXPECT_EQ(workFolders(dir), std::vector<std::string>{".tmp"});
  EXPECT_EQ(text(dir + "/.tmp/clip.mov"), "partial");
  EXPECT_TRUE(AVProbeMediaFile(dir + "/clip.mov").readable);
}

TEST_F(ExporterTest, ThePurgerRemovesEveryExportDirectoryAtTermination) {
  std::string stale = exportRoot_ + "/old/Image.jpg";
  NSFileManager::defaultManager()->createDirectoryAtPath(exportRoot_ + "/old", true);
  ASSERT_TRUE(WriteFileAtomically(stale, "x", 1));
  auto first = AKImageAssetExporter::initWithConfiguration(configuration_);
  EXPECT_FALSE(exists(stale));  // left by an earlier run: removed at start-up
  auto same = AKImageAssetExporter::initWithConfiguration(configuration_);
  AKImageAssetExporterConfiguration other = configuration_;
  other.exportDirectory = NSURL::fileURLWithPath(folder_->path() + "/Other", true);
  AKImageAssetExporterConfiguration gone = configuration_;
  gone.exportDirectory = NSURL::fileURLWithPath(folder_->path() + "/Gone", true);
  auto second = AKImageAssetExporter::initWithConfiguration(other);
  auto third = AKImageAssetExporter::initWithConfiguration(gone);
  EXPECT_EQ(AKImageAssetDiskPurger::shared().directories().size(), 3u);

  auto memory = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(4, 4)));
  exportAndWait(first, {memory});
  auto memory2 = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(4, 4)));
  exportAndWait(second, {memory2});
  ASSERT_TRUE(exists(exportRoot_));
  ASSERT_TRUE(exists(folder_->path() + "/Other"));
  EXPECT_FALSE(exists(folder_->path() + "/Gone"));
  NSNotificationCenter::defaultCenter().postNotificationName(UIApplicationWillTerminateNotification, nullptr);
  EXPECT_FALSE(exists(exportRoot_));
  EXPECT_FALSE(exists(folder_->path() + "/Other"));
}

TEST_F(ExporterTest, ThePurgerLeavesAlonePlacesAnotherLiveProcessUses) {
  // Another process exporting into the same place holds its marker locked.
  const std::string liveMarker = folder_->path() + "/.Exports.owner-99999";
  const int live = ::open(liveMarker.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(live, 0);
  ASSERT_EQ(::flock(live, LOCK_EX | LOCK_NB), 0);
  NSFileManager::defaultManager()->createDirectoryAtPath(exportRoot_ + "/theirs", true);
  ASSERT_TRUE(WriteFileAtomically(exportRoot_ + "/theirs/big.mov", "x", 1));
  // A process that is gone left an unheld marker and its files elsewhere.
  const std::string other = folder_->path() + "/Other";
  NSFileManager::defaultManager()->createDirectoryAtPath(other + "/old", true);
  ASSERT_TRUE(WriteFileAtomically(other + "/old/Image.jpg", "x", 1));
  ASSERT_TRUE(WriteFileAtomically(folder_->path() + "/.Other.owner-99998", "", 0));

  auto mine = AKImageAssetExporter::initWithConfiguration(configuration_);
  EXPECT_TRUE(exists(exportRoot_ + "/theirs/big.mov")) << "a running export of another process";
  AKImageAssetExporterConfiguration elsewhere = configuration_;
  elsewhere.exportDirectory = NSURL::fileURLWithPath(other, true);
  auto second = AKImageAssetExporter::initWithConfiguration(elsewhere);
  EXPECT_FALSE(exists(other + "/old/Image.jpg")) << "its owner is gone";
  EXPECT_FALSE(exists(folder_->path() + "/.Other.owner-99998"));
  const std::string ownMarker = folder_->path() + "/.Exports.owner-" + std::to_string(::getpid());
  EXPECT_TRUE(exists(ownMarker));

  // Terminating leaves the other process's files too, and lets go of this
  // process's markers; once the other process is gone, a purge empties it.
  auto memory = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(4, 4)));
  exportAndWait(mine, {memory});
  NSNotificationCenter::defaultCenter().postNotificationName(UIApplicationWillTerminateNotification, nullptr);
  EXPECT_TRUE(exists(exportRoot_ + "/theirs/big.mov"));
  EXPECT_FALSE(exists(ownMarker));
  EXPECT_FALSE(exists(other));
  ::close(live);
  AKImageAssetDiskPurger::shared().clear();
  EXPECT_FALSE(exists(exportRoot_));
  EXPECT_FALSE(exists(liveMarker));
}

namespace {

// A copy of `movie` whose index comes first, so that it can be read front
// to back as a pipe delivers it.
std::string StreamableCopy(const std::string& movie, const std::string& output) {
  auto session = AVAssetExportSession::exportSessionWithAsset(
      AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie)), AVAssetExportPresetPassthrough);
  if (!session) return "";
  session->setOutputFileType(AVFileTypeMPEG4);
  session->setOutputURL(NSURL::fileURLWithPath(output, false));
  session->setShouldOptimizeForNetworkUse(true);
  auto done = dispatch_semaphore_create(0);
  session->exportAsynchronouslyWithCompletionHandler([done] { dispatch_semaphore_signal(done); });
  if (dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)) != 0) return "";
  return session->status() == AVAssetExportSessionStatusCompleted ? output : "";
}

// A library video whose media object reads a pipe that the test feeds: the
// export session has started and opened its source before a byte arrives,
// so the test acts while an export runs.
class PipeFedVideo {
 public:
  // `bytes` is a streamable movie small enough to go into the pipe at once.
  PipeFedVideo(const std::string& source, NSDataPtr bytes)
      : source_(source), bytes_(std::move(bytes)) {}
  ~PipeFedVideo() {
    if (writer_ && writer_->load() >= 0) ::close(writer_->load());
  }
  // The media object, read while the file is whole; then the file becomes
  // the pipe.
  AVAssetPtr media() {
    if (!WriteFileAtomically(source_, bytes_->bytes(), bytes_->length())) return nullptr;
    auto media = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(source_));
    if (!media->isExportable() || ::unlink(source_.c_str()) != 0 ||
        ::mkfifo(source_.c_str(), 0600) != 0) {
      return nullptr;
    }
    return media;
  }
  // Waits (bounded) until the session has opened the pipe to read.
  bool waitUntilRead() {
    auto opened = dispatch_semaphore_create(0);
    writer_ = std::make_shared<std::atomic<int>>(-1);
    dispatch_async(dispatch_get_global_queue(DispatchQoS::Default),
                   [source = source_, writer = writer_, opened] {
                     writer->store(::open(source.c_str(), O_WRONLY | O_CLOEXEC));
                     dispatch_semaphore_signal(opened);
                   });
    if (dispatch_semaphore_wait(opened, dispatch_time_after(kTestTimeoutSeconds)) == 0)
      return writer_->load() >= 0;
    // Release the blocked writer before failing.
    const int reader = ::open(source_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    dispatch_semaphore_wait(opened, dispatch_time_after(kTestTimeoutSeconds));
    ::close(reader);
    return false;
  }
  // The movie into the pipe, which then closes.
  bool feed() {
    const int fd = writer_->exchange(-1);
    const bool whole =
        ::write(fd, bytes_->bytes(), bytes_->length()) == static_cast<ssize_t>(bytes_->length());
    ::close(fd);
    return whole;
  }

 private:
  std::string source_;
  NSDataPtr bytes_;
  std::shared_ptr<std::atomic<int>> writer_;
};

}  // namespace

TEST_F(ExporterTest, CancellingAVideoWhileItIsExportedEndsItCancelledWithNoLeftovers) {
  const std::string plain = folder_->path() + "/plain.mp4";
  ASSERT_TRUE(WriteFixtureVideo(plain, 32, 24, 10));
  const std::string movie = StreamableCopy(plain, folder_->path() + "/streamable.mp4");
  ASSERT_FALSE(movie.empty());
  auto movieBytes = NSData::dataWithContentsOfFile(movie);
  ASSERT_TRUE(movieBytes);
  ASSERT_LT(movieBytes->length(), 60000u);  // fits the pipe: written in one go
  ASSERT_TRUE(WriteFixtureVideo(path("v.mp4"), 16, 16, 3));
  auto original = libraryAsset("v.mp4");

  for (bool cancelEverything : {false, true}) {
    SCOPED_TRACE(cancelEverything ? "cancelAll" : "cancel");
    PipeFedVideo pipe(folder_->path() + (cancelEverything ? "/all.mp4" : "/one.mp4"), movieBytes);
    ScriptedAnswer av;
    av.avAsset = pipe.media();
    ASSERT_TRUE(av.avAsset);
    provider_->queueAnswer(av);

    auto exporter = AKImageAssetExporter::initWithConfiguration(configuration_);
    auto observer = std::make_shared<RecordingObserver>();
    exporter->add(observer);
    auto video = AKAsset::initWithOriginalAsset(original->originalAsset());
    const std::string dir = exporter->generateTemporaryPath(*video)->path();
    Value result;
    bool done = false;
    int32_t id = exporter->exportAssetsAsynchronously({video}, [&](const Value& info) {
      result = info;
      done = true;
    });
    ASSERT_TRUE(pipe.waitUntilRead()) << "the export never opened its source";
    EXPECT_EQ(workFolders(dir).size(), 1u);  // the session writes in there
    if (cancelEverything) {
      exporter->cancelAll();
    } else {
      exporter->cancel(id);
    }
    EXPECT_TRUE(pipe.feed());
    ASSERT_TRUE(RunMainLoopUntil([&] { return done; }));
    EXPECT_TRUE(cancelled(result));
    ASSERT_TRUE(video->error());
    EXPECT_EQ(video->error()->code(), 0);
    EXPECT_EQ(video->error()->localizedDescription(), "The operation was cancelled.");
    EXPECT_FALSE(video->localTemporaryPath());
    EXPECT_EQ(NSFileManager::defaultManager()->contentsOfDirectoryAtPath(dir)->size(), 0u);
    EXPECT_EQ(std::count(observer->events.begin(), observer->events.end(), "end " + video->localIdentifier()), 1);
  }
}

// Two processes on one container export the same video at once: each works
// in a folder of its own, and the one that finishes second keeps the file
// the first one put in place rather than failing on it.
TEST_F(ExporterTest, AnExportThatFinishesSecondKeepsTheFileAnotherPutInPlace) {
  const std::string plain = folder_->path() + "/plain.mp4";
  ASSERT_TRUE(WriteFixtureVideo(plain, 32, 24, 10));
  auto movieBytes =
      NSData::dataWithContentsOfFile(StreamableCopy(plain, folder_->path() + "/streamable.mp4"));
  ASSERT_TRUE(movieBytes);
  ASSERT_TRUE(WriteFixtureVideo(path("v.mp4"), 16, 16, 3));
  auto video = libraryAsset("v.mp4");
  PipeFedVideo pipe(folder_->path() + "/one.mp4", movieBytes);
  ScriptedAnswer av;
  av.avAsset = pipe.media();
  ASSERT_TRUE(av.avAsset);
  provider_->queueAnswer(av);
  auto exporter = AKImageAssetExporter::initWithConfiguration(configuration_);
  const std::string dir = exporter->generateTemporaryPath(*video)->path();
  // The other process is still writing in a folder of its own, too.
  NSFileManager::defaultManager()->createDirectoryAtPath(dir + "/.tmp-theirs", true);
  ASSERT_TRUE(WriteFileAtomically(dir + "/.tmp-theirs/one.mov", "partial", 7));
  Value result;
  bool done = false;
  exporter->exportAssetsAsynchronously({video}, [&](const Value& info) {
    result = info;
    done = true;
  });
  ASSERT_TRUE(pipe.waitUntilRead()) << "the export never opened its source";
  EXPECT_EQ(workFolders(dir).size(), 2u);
  // Meanwhile the other process's export of the video ends first.
  ASSERT_TRUE(WriteFileAtomically(dir + "/one.mov", "theirs", 6));
  EXPECT_TRUE(pipe.feed());
  ASSERT_TRUE(RunMainLoopUntil([&] { return done; }));
  EXPECT_FALSE(cancelled(result));
  EXPECT_FALSE(video->error()) << video->error()->localizedDescription();
  ASSERT_TRUE(video->localTemporaryPath());
  EXPECT_EQ(video->localTemporaryPath()->path(), dir + "/one.mov");
  EXPECT_EQ(text(dir + "/one.mov"), "theirs");
  EXPECT_EQ(video->fileSize(), 6u);
  EXPECT_EQ(workFolders(dir), std::vector<std::string>{".tmp-theirs"});
  EXPECT_EQ(text(dir + "/.tmp-theirs/one.mov"), "partial");
}

// Another process that has the directory claimed (it has looked at the
// markers and is about to write) keeps every other process from judging
// and removing the directory until it has put its marker down.
TEST_F(ExporterTest, ThePurgerWaitsWhileAnotherProcessClaimsTheDirectory) {
  const int claim =
      ::open((folder_->path() + "/.Exports.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(claim, 0);
  ASSERT_EQ(::flock(claim, LOCK_EX | LOCK_NB), 0);
  auto added = dispatch_semaphore_create(0);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default),
                 [directory = configuration_.exportDirectory, added] {
                   AKImageAssetDiskPurger::shared().add(directory);
                   dispatch_semaphore_signal(added);
                 });
  const bool waited = dispatch_semaphore_wait(added, dispatch_time_after(0.2)) != 0;
  EXPECT_TRUE(waited) << "nothing is judged during a claim";
  const int live = ::open((folder_->path() + "/.Exports.owner-99999").c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(live, LOCK_EX | LOCK_NB), 0);
  NSFileManager::defaultManager()->createDirectoryAtPath(exportRoot_ + "/theirs", true);
  ASSERT_TRUE(WriteFileAtomically(exportRoot_ + "/theirs/clip.mov", "x", 1));
  ::close(claim);
  if (waited) {
    ASSERT_EQ(dispatch_semaphore_wait(added, dispatch_time_after(kTestTimeoutSeconds)), 0);
  }
  EXPECT_TRUE(exists(exportRoot_ + "/theirs/clip.mov"));
  ::close(live);
}

// The photo library itself gives up on a fetch (another caller cancelled
// the platform request): that asset ends cancelled, the rest of the request
// goes on, and the request is no cancelled one.
TEST_F(ExporterTest, ALibraryCancelDuringAnExportEndsOnlyTheAssetItWasFetching) {
  auto [a, b, exporter, observer] = twoPhotos();
  ASSERT_TRUE(WriteFixtureVideo(path("v.mp4"), 16, 16, 3));
  auto video = libraryAsset("v.mp4");
  ScriptedAnswer held;
  held.result = ScriptedAnswer::Result::Never;
  provider_->queueAnswer(held);
  provider_->queueAnswer(dataOf(path("b.jpg")));
  provider_->queueAnswer(held);
  Value result;
  bool done = false;
  exporter->exportAssetsAsynchronously({a, b, video}, [&](const Value& info) {
    result = info;
    done = true;
  });
  // The library's answers may travel through the main queue: it runs while
  // the test waits.
  ASSERT_TRUE(RunMainLoopUntil([&] { return provider_->calls().size() >= 1; }));
  PHImageManager::defaultManager()->cancelImageRequest(provider_->calls()[0].requestID);
  ASSERT_TRUE(RunMainLoopUntil([&] { return provider_->calls().size() >= 3; }));
  PHImageManager::defaultManager()->cancelImageRequest(provider_->calls()[2].requestID);
  ASSERT_TRUE(RunMainLoopUntil([&] { return done; }));
  EXPECT_FALSE(cancelled(result));
  ASSERT_TRUE(a->error());
  EXPECT_EQ(a->error()->code(), 0);
  EXPECT_EQ(a->error()->localizedDescription(), "The operation was cancelled.");
  EXPECT_FALSE(a->localTemporaryPath());
  ASSERT_TRUE(b->localTemporaryPath());
  EXPECT_TRUE(exists(b->localTemporaryPath()->path()));
  // A video the library delivers no media object for has nothing to export,
  // cancelled or not.
  ASSERT_TRUE(video->error());
  EXPECT_EQ(video->error()->code(), 1);
  EXPECT_EQ(video->error()->localizedDescription(), "Failed to fetch AVAsset.");
  for (auto& asset : {a, b, video}) {
    EXPECT_EQ(std::count(observer->events.begin(), observer->events.end(), "end " + asset->localIdentifier()), 1);
  }
}

}  // namespace exporter_test

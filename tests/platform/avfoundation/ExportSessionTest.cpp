#include <sys/stat.h>

#include <atomic>
#include <vector>

#include "platform/avfoundation/AVAssetExportSession.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/Value.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/photos/MediaFixtures.h"

namespace export_session_test {

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs the export and waits (bounded) for its completion.
bool exportAndWait(const AVAssetExportSessionPtr& session, bool* completedOnMain = nullptr) {
  auto done = dispatch_semaphore_create(0);
  std::atomic<bool> onMain{false};
  session->exportAsynchronouslyWithCompletionHandler([&, done] {
    onMain = NSThread::isMainThread();
    dispatch_semaphore_signal(done);
  });
  bool ok = dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)) == 0;
  if (completedOnMain) *completedOnMain = onMain;
  return ok;
}

}  // namespace

class ExportSessionTest : public PlatformTest {
 protected:
  TempFolder folder_;
};

TEST_F(ExportSessionTest, URLAssetsReadTheirFileAndSessionsNeedAnExportableAssetAndAKnownPreset) {
  std::string movie = folder_.path() + "/clip.mp4";
  ASSERT_TRUE(WriteFixtureVideo(movie, 32, 24, 10, "2023-02-03T04:05:06Z"));
  auto asset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie));
  EXPECT_NEAR(asset->duration(), 0.95, 0.1);
  ASSERT_EQ(asset->tracksWithMediaType(AVMediaTypeVideo).size(), 1u);
  EXPECT_EQ(asset->tracksWithMediaType(AVMediaTypeVideo)[0]->naturalSize().width, 32);
  EXPECT_TRUE(asset->tracksWithMediaType(AVMediaTypeAudio).empty());
  EXPECT_EQ(asset->creationDate(), 1675397106.0);
  EXPECT_TRUE(asset->isExportable());

  auto missing = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(folder_.path() + "/none.mov"));
  EXPECT_FALSE(missing->isExportable());
  EXPECT_FALSE(AVAssetExportSession::exportSessionWithAsset(missing, AVAssetExportPresetPassthrough));
  EXPECT_FALSE(AVAssetExportSession::exportSessionWithAsset(asset, "NoSuchPreset"));
  ASSERT_TRUE(AVAssetExportSession::exportSessionWithAsset(asset, AVAssetExportPresetHighestQuality));

  // A composition reading one file exports that file; one splicing two does not.
  AVCompositionTrackSegment segment{asset->URL(), 1, {0, 0.5}, {0, 0.5}};
  AVCompositionTrackSegment later{asset->URL(), 1, {0.5, 0.4}, {0.5, 0.4}};
  auto single = std::make_shared<AVComposition>(std::vector<AVCompositionTrackPtr>{
      std::make_shared<AVCompositionTrack>(1, AVMediaTypeVideo, 8e6f, CGSizeMake(32, 24),
                                           std::vector<AVCompositionTrackSegment>{segment, later})});
  EXPECT_TRUE(single->isExportable());
  EXPECT_NEAR(single->tracks()[0]->timeRange().duration, 0.9, 1e-9);
  EXPECT_NEAR(single->duration(), 0.9, 1e-9);
  AVCompositionTrackSegment other{NSURL::fileURLWithPath(folder_.path() + "/b.mp4"), 1, {0, 1}, {0.9, 1}};
  auto spliced = std::make_shared<AVComposition>(std::vector<AVCompositionTrackPtr>{
      std::make_shared<AVCompositionTrack>(1, AVMediaTypeVideo, 8e6f, CGSizeMake(32, 24),
                                           std::vector<AVCompositionTrackSegment>{segment, other})});
  EXPECT_FALSE(spliced->isExportable());
}

TEST_F(ExportSessionTest, ExportsRemuxIntoTheRequestedContainerWithRisingProgress) {
  std::string movie = folder_.path() + "/clip.mp4";
  ASSERT_TRUE(WriteFixtureVideo(movie, 32, 24, 40));
  auto asset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie));
  for (const char* type : {AVFileTypeQuickTimeMovie, AVFileTypeMPEG4}) {
    std::string target = folder_.path() + "/out-" + std::string(type) + (type == AVFileTypeMPEG4 ? ".mp4" : ".mov");
    auto session = AVAssetExportSession::exportSessionWithAsset(asset, AVAssetExportPresetHighestQuality);
    ASSERT_TRUE(session);
    session->setOutputFileType(type);
    session->setOutputURL(NSURL::fileURLWithPath(target, false));
    session->setShouldOptimizeForNetworkUse(true);
    std::vector<double> progress;
    auto observation = session->observe("progress", NSKeyValueObservingOptionNew,
                                        [&](NSObject*, const Value& change) {
                                          progress.push_back(change.find(NSKeyValueChangeNewKey)->asDouble());
                                        });
    bool onMain = true;
    ASSERT_TRUE(exportAndWait(session, &onMain));
    EXPECT_FALSE(onMain);
    EXPECT_EQ(session->status(), AVAssetExportSessionStatusCompleted);
    EXPECT_FALSE(session->error());
    ASSERT_GE(progress.size(), 2u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_GT(progress.front(), 0);
    EXPECT_EQ(progress.back(), 1.0);

    auto written = AVProbeMediaFile(target);
    ASSERT_TRUE(written.readable);
    EXPECT_NEAR(written.duration, asset->duration(), 0.11);  // the last frame's length may be counted
    EXPECT_EQ(written.videoSize.width, 32);
    // The same streams, unchanged: a second remux of the output matches.
    auto again = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(target));
    EXPECT_EQ(again->tracks().size(), asset->tracks().size());

    // Exporting once more onto the same file fails without touching it.
    auto second = AVAssetExportSession::exportSessionWithAsset(asset, AVAssetExportPresetPassthrough);
    second->setOutputFileType(type);
    second->setOutputURL(NSURL::fileURLWithPath(target, false));
    ASSERT_TRUE(exportAndWait(second));
    EXPECT_EQ(second->status(), AVAssetExportSessionStatusFailed);
    ASSERT_TRUE(second->error());
    EXPECT_EQ(second->error()->code(), AVErrorFileAlreadyExists);
  }

  auto wrongType = AVAssetExportSession::exportSessionWithAsset(asset, AVAssetExportPresetHighestQuality);
  wrongType->setOutputFileType("public.png");
  wrongType->setOutputURL(NSURL::fileURLWithPath(folder_.path() + "/x.png", false));
  ASSERT_TRUE(exportAndWait(wrongType));
  EXPECT_EQ(wrongType->status(), AVAssetExportSessionStatusFailed);
  EXPECT_FALSE(exists(folder_.path() + "/x.png"));
}

TEST_F(ExportSessionTest, HEVCKeepsTheSampleEntryOfItsSource) {
  // Players refuse HEVC under "hev1" that they play under "hvc1": a remux
  // keeps whichever the source used.
  for (const char* tag : {"hvc1", "hev1"}) {
    std::string movie = folder_.path() + "/" + tag + ".mp4";
    ASSERT_TRUE(WriteFixtureVideo(movie, 64, 64, 3, std::nullopt, tag));
    ASSERT_EQ(FixtureVideoCodecTag(movie), tag);
    auto asset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie));
    for (const char* type : {AVFileTypeQuickTimeMovie, AVFileTypeMPEG4}) {
      std::string target = folder_.path() + "/" + tag + "-out" + (type == AVFileTypeMPEG4 ? ".mp4" : ".mov");
      auto session = AVAssetExportSession::exportSessionWithAsset(asset, AVAssetExportPresetPassthrough);
      ASSERT_TRUE(session);
      session->setOutputFileType(type);
      session->setOutputURL(NSURL::fileURLWithPath(target, false));
      ASSERT_TRUE(exportAndWait(session));
      ASSERT_EQ(session->status(), AVAssetExportSessionStatusCompleted) << tag << " " << type;
      EXPECT_EQ(FixtureVideoCodecTag(target), tag) << type;
    }
  }
}

TEST_F(ExportSessionTest, CancellingMidwayStopsTheExportAndRemovesThePartialFile) {
  std::string movie = folder_.path() + "/long.mp4";
  ASSERT_TRUE(WriteFixtureVideo(movie, 64, 48, 120));
  auto asset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie));
  std::string target = folder_.path() + "/partial.mov";
  auto session = AVAssetExportSession::exportSessionWithAsset(asset, AVAssetExportPresetPassthrough);
  session->setOutputFileType(AVFileTypeQuickTimeMovie);
  session->setOutputURL(NSURL::fileURLWithPath(target, false));
  std::atomic<bool> sawPartialFile{false};
  double lastProgress = 0;
  auto observation = session->observe("progress", NSKeyValueObservingOptionNew,
                                      [&](NSObject*, const Value& change) {
                                        lastProgress = change.find(NSKeyValueChangeNewKey)->asDouble();
                                        sawPartialFile = exists(target);
                                        session->cancelExport();
                                      });
  ASSERT_TRUE(exportAndWait(session));
  EXPECT_TRUE(sawPartialFile);
  EXPECT_GT(lastProgress, 0);
  EXPECT_LT(lastProgress, 1);
  EXPECT_EQ(session->status(), AVAssetExportSessionStatusCancelled);
  EXPECT_FALSE(exists(target));

  // Cancelled before it starts: nothing is written at all.
  auto early = AVAssetExportSession::exportSessionWithAsset(asset, AVAssetExportPresetPassthrough);
  early->setOutputFileType(AVFileTypeQuickTimeMovie);
  early->setOutputURL(NSURL::fileURLWithPath(target, false));
  early->cancelExport();
  ASSERT_TRUE(exportAndWait(early));
  EXPECT_EQ(early->status(), AVAssetExportSessionStatusCancelled);
  EXPECT_FALSE(exists(target));
}

TEST_F(ExportSessionTest, AnAudioExportOfAMovieCarriesOnlyItsAACTrackAsItIs) {
  std::string movie = folder_.path() + "/talk.mp4";
  ASSERT_TRUE(WriteFixtureVideoWithAAC(movie, 32, 24, 20));
  ASSERT_EQ(FixtureStreamTypes(movie), (std::vector<std::string>{"video", "audio"}));
  auto asset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie));
  auto session = AVAssetExportSession::exportSessionWithAsset(asset, AVAssetExportPresetAppleM4A);
  ASSERT_TRUE(session);
  session->setOutputFileType(AVFileTypeAppleM4A);
  std::string target = folder_.path() + "/talk.m4a";
  session->setOutputURL(NSURL::fileURLWithPath(target, false));
  ASSERT_TRUE(exportAndWait(session));
  EXPECT_EQ(session->status(), AVAssetExportSessionStatusCompleted);
  EXPECT_FALSE(session->error());
  // The AAC track is copied, not encoded again; the picture is left out.
  EXPECT_EQ(FixtureStreamTypes(target), std::vector<std::string>{"audio"});
  EXPECT_EQ(FixtureAudioCodec(target), "aac");
  auto written = AVProbeMediaFile(target);
  ASSERT_TRUE(written.readable);
  EXPECT_NEAR(written.duration, 2.0, 0.1);
}

// The M4A preset copies an AAC source as it is, whatever its channels and
// bit rate; anything else is encoded to AAC at 64 kbit/s a channel, mono
// staying mono and every other layout becoming stereo.
TEST_F(ExportSessionTest, AudioExportsCopyAACAndEncodeOtherSoundToMonoOrStereo) {
  struct Case {
    const char* name;  // the source's file name
    int channels;
    int64_t aacBitRate;  // 0: PCM
    int outChannels;
  };
  const Case cases[] = {
      {"surround.m4a", 6, 384000, 6},
      {"stereo.m4a", 2, 96000, 2},
      {"mono.wav", 1, 0, 1},
      {"stereo.wav", 2, 0, 2},
      {"three.wav", 3, 0, 2},
      {"surround.wav", 6, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = folder_.path() + "/" + c.name;
    ASSERT_TRUE(WriteFixtureSound(source, c.channels, c.aacBitRate, 0.4));
    const FixtureAudioFormat in = FixtureAudioFormatOf(source);
    ASSERT_EQ(in.channels, c.channels);
    if (c.aacBitRate) {
      EXPECT_NEAR(double(in.bitRate), double(c.aacBitRate), c.aacBitRate * 0.1);
    }
    auto session = AVAssetExportSession::exportSessionWithAsset(
        AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(source)), AVAssetExportPresetAppleM4A);
    ASSERT_TRUE(session);
    session->setOutputFileType(AVFileTypeAppleM4A);
    const std::string target = source + ".export.m4a";
    session->setOutputURL(NSURL::fileURLWithPath(target, false));
    ASSERT_TRUE(exportAndWait(session));
    ASSERT_EQ(session->status(), AVAssetExportSessionStatusCompleted);
    const FixtureAudioFormat out = FixtureAudioFormatOf(target);
    EXPECT_EQ(out.codec, "aac");
    EXPECT_EQ(out.channels, c.outChannels);
    if (c.aacBitRate) {
      // The same packets: the rate read back moves only with the container's
      // account of the duration.
      EXPECT_NEAR(double(out.bitRate), double(in.bitRate), in.bitRate * 0.01);
    } else {
      const double wanted = 64000.0 * c.outChannels;
      EXPECT_NEAR(double(out.bitRate), wanted, wanted * 0.1);
    }
    EXPECT_NEAR(AVProbeMediaFile(target).duration, 0.4, 0.1);
  }
}

}  // namespace export_session_test

// Several photos or videos on a system before 14: the media asset picker
// over a scratch photo library, its selection exported to files and handed
// back as file descriptions, with events or the loading alert.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "AKImagePickerController/picker/AKAssetGroupDetailVC.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"
#include "FilePickerTestSupport.h"
#include "file_picker/FilePickerUtils.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIBarButtonItem.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIWindow.h"
#include "platform/foundation/FileIO.h"
#include "support/RecordedLog.h"
#include "support/ScriptedFileIO.h"
#include "support/ScriptedLocations.h"
#include "support/ScriptedSystemInfo.h"
#include "support/ui/UITouchDriver.h"

namespace file_picker_media_road_test {

namespace {

// Holds the exporter's file work until released, so a test sees the state
// while an export runs.
class WriteGate {
 public:
  WriteGate() : gate_(dispatch_semaphore_create(0)) {
    dispatch_async(AKImageAssetExporter::ioQueue(), [gate = gate_] {
      dispatch_semaphore_wait(gate, dispatch_time_after(kTestTimeoutSeconds));
    });
  }
  ~WriteGate() { release(); }
  void release() {
    if (released_) return;
    released_ = true;
    dispatch_semaphore_signal(gate_);
  }

 private:
  dispatch_semaphore_t gate_;
  bool released_ = false;
};

class MediaRoadTest : public FilePickerTest {
 protected:
  void SetUp() override {
    FilePickerTest::SetUp();
    const char* data = std::getenv("QX_TEST_DATA");
    ASSERT_NE(data, nullptr);
    ScriptedLocations::installed().setMainBundlePath(std::string(data) +
                                                     "/../../resources/Runner.app");
    library_ = scratch_.makeFolder("library");
    ::setenv("QX_PHOTO_LIBRARY", library_.c_str(), 1);
    ::setenv("QX_PHOTO_AUTHORIZATION", "authorized", 1);
    // Oldest first: the grid shows c.mp4, b.png, a.jpg.
    ASSERT_TRUE(WriteFixtureImage(library_ + "/a.jpg", "public.jpeg", 32, 24, 1, std::nullopt,
                                  "2020:01:01 00:00:00"));
    ASSERT_TRUE(WriteFixtureImage(library_ + "/b.png", "public.png", 16, 16, 1, std::nullopt,
                                  "2020:01:02 00:00:00"));
    ASSERT_TRUE(WriteFixtureVideo(library_ + "/c.mp4", 32, 32, 5, "2020-01-03T00:00:00Z"));
    ScriptedSystemInfo::install()->setOperatingSystemVersion({13, 7, 0});
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) {
      auto root = window_->rootViewController();
      if (!root || !root->presentedViewController()) break;
      root->dismissViewControllerAnimated(false);
      advance(1);
    }
    FilePickerTest::TearDown();
    ::unsetenv("QX_PHOTO_LIBRARY");
    ::unsetenv("QX_PHOTO_AUTHORIZATION");
    ScriptedLocations::installed().setMainBundlePath("");
  }

  // The picker the request presented, its grid showing `items` assets.
  std::shared_ptr<AKImagePickerController> shownPicker(int64_t items) {
    showPicker();
    auto picker = std::dynamic_pointer_cast<AKImagePickerController>(
        window_->rootViewController()->presentedViewController());
    if (!picker) return nullptr;
    grid_ = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(picker->topViewController());
    if (!grid_) return nullptr;
    bool loaded = RunMainLoopUntil([&] {
      return grid_->selectedGroupId() &&
             grid_->collectionView()->numberOfItemsInSection(0) == items;
    });
    if (!loaded) return nullptr;
    window_->layoutIfNeeded();
    grid_->collectionView()->layoutIfNeeded();
    return picker;
  }
  void tapItem(int64_t item) {
    auto cv = grid_->collectionView();
    auto a = cv->layoutAttributesForItemAtIndexPath(NSIndexPath::indexPathForItem(item, 0));
    UITouchDriver hand(window_);
    hand.tap(cv->convertPointToView(a->center(), nullptr));
    advance(0.5);
  }
  void tapDone(AKImagePickerController& picker) {
    auto button = picker.UIDelegate()->doneButton();
    ASSERT_TRUE(button);
    button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  }
  static std::string fileName(const AKAssetPtr& asset) {
    return std::filesystem::path(asset->originalAsset()->record().relativePath).filename().string();
  }

  std::string library_;
  std::shared_ptr<AKAssetGroupDetailVC> grid_;
};

// Checks one reply entry against the file it names.
void ExpectDescribesFile(const Value& entry, bool withData) {
  ASSERT_TRUE(entry.isMap());
  const std::string path = Field(entry, "path")->asString();
  const std::string contents = ReadText(path);
  ASSERT_FALSE(contents.empty()) << path;
  EXPECT_EQ(Field(entry, "name")->asString(), std::filesystem::path(path).filename().string());
  EXPECT_EQ(Field(entry, "size")->asInt64(), int64_t(contents.size()));
  EXPECT_EQ(*Field(entry, "identifier"), Value(NSURL::fileURLWithPath(path)->absoluteString()));
  const Value* bytes = Field(entry, "bytes");
  if (!withData) {
    EXPECT_EQ(bytes, nullptr);
    return;
  }
  ASSERT_NE(bytes, nullptr);
  ASSERT_TRUE(bytes->isBytes());
  EXPECT_EQ(std::string(bytes->asBytes().begin(), bytes->asBytes().end()), contents);
}

}  // namespace

TEST_F(MediaRoadTest, TwoPhotosAreExportedWithTheirOriginalDataAndEventsAroundTheExport) {
  auto call = start(
      "image", Value::map({{"allowMultipleSelection", Value(true)}, {"withData", Value(true)}}));
  auto picker = shownPicker(2);
  ASSERT_TRUE(picker);
  EXPECT_TRUE(provider_->requests().empty()) << "no system picker is asked";
  EXPECT_EQ(picker->sourceType(), AKImagePickerControllerSourceType::albumsOnly);
  EXPECT_EQ(picker->assetType(), AKImagePickerControllerAssetType::allPhotos);
  EXPECT_TRUE(picker->exportsWhenCompleted());
  EXPECT_TRUE(grid_->navigationItem()->leftBarButtonItem()) << "a cancel button";
  ASSERT_TRUE(picker->exporter());
  EXPECT_EQ(picker->exporter()->configuration().imageExportPreset,
            int64_t(AKImageExportPresent::current));
  EXPECT_EQ(picker->exporter()->configuration().videoExportPreset, AVAssetExportPresetPassthrough);

  tapItem(0);  // b.png
  tapItem(1);  // a.jpg
  ASSERT_EQ(picker->selectedAssets().size(), 2u);
  std::vector<std::string> chosen{fileName(picker->selectedAssets()[0]),
                                  fileName(picker->selectedAssets()[1])};
  EXPECT_EQ(chosen, (std::vector<std::string>{"b.png", "a.jpg"}));
  {
    WriteGate gate;
    tapDone(*picker);
    advance(1);
    drainMainLoop();
    // While the export runs the listener has heard of it, and no alert covers the screen.
    EXPECT_EQ(events(), std::vector<Value>{Value(true)});
    EXPECT_FALSE(window_->rootViewController()->presentedViewController());
  }
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o)) << o.code << " " << o.message.value_or("");
  ASSERT_TRUE(o.result.isList());
  ASSERT_EQ(o.result.asList().size(), 2u);
  // In the selection's order, each the library file's own bytes.
  for (size_t i = 0; i < 2; ++i) {
    const Value& entry = o.result.asList()[i];
    ExpectDescribesFile(entry, true);
    const std::string path = Field(entry, "path")->asString();
    EXPECT_EQ(ReadText(path), ReadText(library_ + "/" + chosen[i])) << path;
    EXPECT_NE(path.find(NSTemporaryDirectory()), std::string::npos) << path;
  }
  EXPECT_EQ(ReadText(library_ + "/a.jpg").empty(), false) << "the library keeps its files";
  EXPECT_EQ(events(), (std::vector<Value>{Value(true), Value(false)}));
  EXPECT_EQ(eventsAtReply_, events()) << "the last event comes before the reply";
  EXPECT_FALSE(window_->rootViewController()->presentedViewController())
      << "no alert with a listener";
}

TEST_F(MediaRoadTest, WithoutAListenerASpinnerAlertShowsWhileTheExportRuns) {
  ASSERT_EQ(peer_->cancel(kPickerEvents).kind, FlutterMethodOutcome::Kind::Success);
  auto call = start("media", Value::map({{"allowMultipleSelection", Value(true)},
                                         {"compressionQuality", Value(80)}}));
  auto picker = shownPicker(3);
  ASSERT_TRUE(picker);
  EXPECT_EQ(picker->assetType(), AKImagePickerControllerAssetType::allAssets);
  EXPECT_EQ(picker->exporter()->configuration().imageExportPreset,
            int64_t(AKImageExportPresent::compatible));
  EXPECT_EQ(picker->exporter()->configuration().videoExportPreset,
            AVAssetExportPresetHighestQuality);
  tapItem(0);  // the video
  tapItem(2);  // a.jpg
  ASSERT_EQ(picker->selectedAssets().size(), 2u);
  auto root = window_->rootViewController();
  {
    WriteGate gate;
    tapDone(*picker);
    advance(1);
    drainMainLoop();
    auto alert = std::dynamic_pointer_cast<UIAlertController>(root->presentedViewController());
    ASSERT_TRUE(alert) << "the alert shows while the export runs";
    EXPECT_EQ(alert->alertTitle().value_or("-"), "");
    EXPECT_EQ(alert->message().value_or("-"), "");
    std::shared_ptr<UIActivityIndicatorView> spinner;
    for (auto& view : alert->view()->subviews()) {
      if (auto s = std::dynamic_pointer_cast<UIActivityIndicatorView>(view)) spinner = s;
    }
    ASSERT_TRUE(spinner);
    EXPECT_TRUE(spinner->isAnimating());
    EXPECT_EQ(spinner->activityIndicatorViewStyle(), UIActivityIndicatorViewStyleWhite);
    EXPECT_FALSE(call->has_value());
  }
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o)) << o.code << " " << o.message.value_or("");
  ASSERT_EQ(o.result.asList().size(), 2u);
  for (const Value& entry : o.result.asList()) ExpectDescribesFile(entry, false);
  EXPECT_EQ(FixtureVideoCodecTag(Field(o.result.asList()[0], "path")->asString()).empty(), false);
  advance(1);
  EXPECT_FALSE(root->presentedViewController()) << "the alert is dismissed at the end";
  EXPECT_TRUE(events().empty());
}

TEST_F(MediaRoadTest, CancellingRepliesNilAndAnEmptyExportEndsAtOnce) {
  auto call = start("video", Value::map({{"allowMultipleSelection", Value(true)}}));
  auto picker = shownPicker(1);
  ASSERT_TRUE(picker);
  EXPECT_EQ(picker->assetType(), AKImagePickerControllerAssetType::allVideos);
  // A second request while the picker is up is refused.
  EXPECT_TRUE(IsError(peer_->call(kPickerChannel, "any", Value()), "multiple_request"));
  auto cancel = grid_->navigationItem()->leftBarButtonItem();
  ASSERT_TRUE(cancel);
  cancel->trigger();
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_TRUE(o.result.isNull());
  EXPECT_FALSE(window_->rootViewController()->presentedViewController());
  EXPECT_TRUE(events().empty());

  // Done with nothing selected: the picker answers at once with an empty list.
  auto second = start("image", Value::map({{"allowMultipleSelection", Value(true)}}));
  auto again = shownPicker(2);
  ASSERT_TRUE(again);
  EXPECT_NE(again, picker);
  again->done();
  auto empty = finish(second);
  ASSERT_TRUE(IsSuccess(empty));
  EXPECT_TRUE(empty.result.isList());
  EXPECT_TRUE(empty.result.asList().empty());
  // A status of exporting with an empty selection counts as the end.
  again->exportStatusChanged()(AKImagePickerControllerExportStatus::exporting);
  EXPECT_EQ(events(), std::vector<Value>{Value(false)});

  // A chosen photo gone from the library before Done: the other is answered,
  // and the log names the one left out and why.
  auto log = RecordedLog::install();
  auto third = start("image", Value::map({{"allowMultipleSelection", Value(true)}}));
  auto last = shownPicker(2);
  ASSERT_TRUE(last);
  tapItem(0);  // b.png
  tapItem(1);  // a.jpg
  ASSERT_EQ(last->selectedAssets().size(), 2u);
  const std::string gone = last->selectedAssets()[1]->localIdentifier();
  ASSERT_TRUE(std::filesystem::remove(library_ + "/a.jpg"));
  tapDone(*last);
  auto one = finish(third);
  ASSERT_TRUE(IsSuccess(one));
  ASSERT_EQ(one.result.size(), 1u);
  EXPECT_EQ(ReadText(Field(one.result.asList()[0], "path")->asString()),
            ReadText(library_ + "/b.png"));
  bool said = false;
  for (const auto& m : log->messages())
    said = said || (m.find(gone) != std::string::npos && m.find("left out") != std::string::npos);
  EXPECT_TRUE(said) << "the photo left out is named in the log";
}

// On the album export: a photo whose file keeps changing in place while the
// library's data is read for it, or one the library loses after Done while
// the picker goes away, is left out and named once in the log, by its
// identifier and its file in the library, with why; the other is answered. A
// pick of which nothing is left fails.
TEST_F(MediaRoadTest, ATornReadOrAPhotoGoneAfterDoneIsLeftOutAndNamedOnce) {
  auto mentions = [](const RecordedLog& log, const std::string& text) {
    size_t n = 0;
    for (const auto& m : log.messages()) n += m.find(text) != std::string::npos;
    return n;
  };
  struct Case {
    const char* what;
    bool torn;        // else a.jpg is deleted right after Done
    bool onlyA;       // a.jpg alone is picked
    std::string file = "a.jpg";  // where a.jpg is in the library
  };
  for (const Case& c : {Case{"torn", true, false}, Case{"torn alone", true, true},
                        Case{"gone after Done", false, false},
                        Case{"gone from its album", false, false, "Trip/a.jpg"}}) {
    SCOPED_TRACE(c.what);
    const std::string file = library_ + "/" + c.file;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    ASSERT_TRUE(
        WriteFixtureImage(file, "public.jpeg", 32, 24, 1, std::nullopt, "2020:01:01 00:00:00"));
    auto log = RecordedLog::install();
    auto call = start("image", Value::map({{"allowMultipleSelection", Value(true)}}));
    auto picker = shownPicker(2);
    ASSERT_TRUE(picker);
    if (!c.onlyA) tapItem(0);  // b.png
    tapItem(1);                // a.jpg
    const std::string a = picker->selectedAssets().back()->localIdentifier();
    auto io = std::make_shared<ScriptedFileIO>();
    if (c.torn) {
      io->changeDuringReads(file, 1000, true, true);
      FileIO::setCurrent(io);
    }
    tapDone(*picker);
    if (!c.torn) {
      // Gone while the picker goes away: the library sees it and the grid
      // drops it from the selection before the export starts.
      ASSERT_TRUE(std::filesystem::remove(file));
      ASSERT_TRUE(RunMainLoopUntil([&] { return picker->selectedAssets().size() == 1; }));
    }
    auto o = finish(call);
    FileIO::setCurrent(nullptr);
    EXPECT_EQ(mentions(*log, a), 1u) << ::testing::PrintToString(log->messages());
    const std::string named = "asset " + a + " (" + c.file + ") left out";
    EXPECT_EQ(mentions(*log, named), 1u) << ::testing::PrintToString(log->messages());
    if (c.torn) {
      EXPECT_EQ(mentions(*log, "changed while it was copied, 3 times"), 1u);
    }
    if (c.onlyA) {
      ASSERT_TRUE(IsError(o, "file_picker_error")) << o.code;
      EXPECT_EQ(o.message, "Failed to process any images/video");
      EXPECT_NE(o.details.description().find(named), std::string::npos);
      continue;
    }
    ASSERT_TRUE(IsSuccess(o)) << o.code << " " << o.message.value_or("");
    ASSERT_EQ(o.result.size(), 1u);
    EXPECT_EQ(ReadText(Field(o.result.asList()[0], "path")->asString()),
              ReadText(library_ + "/b.png"));
  }
}

TEST_F(MediaRoadTest, ContentsPastTheWithDataLimitAreRefusedNamingTheLimit) {
  auto call = start(
      "image", Value::map({{"allowMultipleSelection", Value(true)}, {"withData", Value(true)}}));
  auto picker = shownPicker(2);
  ASSERT_TRUE(picker);
  tapItem(0);  // b.png
  ASSERT_EQ(picker->selectedAssets().size(), 1u);
  // An earlier export left a file one byte past the limit, which the exporter
  // reuses. It is sparse: nothing of it is ever written or read.
  const uint64_t limit = FilePickerUtils::withDataLimit();
  const std::string dir =
      picker->exporter()->generateTemporaryPath(*picker->selectedAssets()[0])->path();
  const int fd = ::open((dir + "/b.png").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(limit + 1)), 0);
  ::close(fd);
  tapDone(*picker);
  auto o = finish(call);
  ASSERT_TRUE(IsError(o, "file_picker_error")) << o.code;
  EXPECT_EQ(o.message, "withData holds at most " + std::to_string(limit) +
                           " bytes; the picked files hold " + std::to_string(limit + 1));
  EXPECT_EQ(eventsAtReply_, (std::vector<Value>{Value(true), Value(false)}));
}

}  // namespace file_picker_media_road_test

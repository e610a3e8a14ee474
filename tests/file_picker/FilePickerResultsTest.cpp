// What comes back from the pickers: imported documents, photos with their
// progress events, the image picker of older systems, and music exports.
#include <gtest/gtest.h>

#include <set>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/UTF8.h"
#include "FilePickerTestSupport.h"
#include "platform/foundation/FileIO.h"
#include "support/RecordedLog.h"
#include "support/ScriptedFileIO.h"
#include "support/ScriptedSystemInfo.h"

namespace file_picker_results_test {

namespace {

std::vector<std::string> PathsOf(const FlutterMethodOutcome& o) {
  std::vector<std::string> paths;
  if (!o.result.isList()) return paths;
  for (const Value& file : o.result.asList()) paths.push_back(Field(file, "path")->asString());
  return paths;
}

TEST_F(FilePickerTest, ImportedFilesOfOneNameAllSurviveAcrossRequests) {
  const std::string a = scratch_.writeFile("one/same.txt", "first");
  const std::string b = scratch_.writeFile("two/same.txt", "second");
  auto o = pick("any", Value::map({{"allowMultipleSelection", Value(true)}}),
                UISystemPickerAnswer::picked({a, b}));
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  auto paths = PathsOf(o);
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_NE(paths[0], paths[1]);
  EXPECT_EQ(ReadText(paths[0]), "first");
  EXPECT_EQ(ReadText(paths[1]), "second");
  for (const Value& file : o.result.asList()) EXPECT_EQ(*Field(file, "name"), Value("same.txt"));
  EXPECT_TRUE(provider_->requests().back().multiple);

  // A later pick of the same name leaves the earlier files alone.
  auto again = pick("any", Value(), UISystemPickerAnswer::picked({b}));
  ASSERT_TRUE(IsSuccess(again));
  ASSERT_EQ(PathsOf(again).size(), 1u);
  EXPECT_NE(PathsOf(again)[0], paths[0]);
  EXPECT_EQ(ReadText(paths[0]), "first");
  EXPECT_EQ(ReadText(paths[1]), "second");
  EXPECT_EQ(ReadText(a), "first");
  EXPECT_EQ(ReadText(b), "second");
}

// Names that are not UTF-8 come back as copies named so the reply can name
// them: each stray byte is "_", the rest of the name as it was.
TEST_F(FilePickerTest, ANameThatIsNotUTF8ComesBackAsACopyTheReplyNames) {
  struct Case {
    std::string name, copy;
  };
  const std::vector<Case> cases{{"caf\xE9.txt", "caf_.txt"},
                                {"\xFF\xFE.bin", "__.bin"},
                                {"cut\xE2\x82.txt", "cut__.txt"},
                                {"ok-\xC3\xA9.txt", "ok-\xC3\xA9.txt"},
                                {"dot.\xE9", "dot._"}};
  std::vector<std::string> sources;
  for (size_t i = 0; i < cases.size(); ++i) {
    sources.push_back(scratch_.writeFile("user/" + cases[i].name, "contents " + std::to_string(i)));
  }
  auto o = pick("any", Value::map({{"allowMultipleSelection", Value(true)}}),
                UISystemPickerAnswer::picked(sources));
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  const auto paths = PathsOf(o);
  ASSERT_EQ(paths.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(paths[i].substr(paths[i].find_last_of('/') + 1), cases[i].copy);
    EXPECT_EQ(ValidUTF8(paths[i]), paths[i]);
    EXPECT_EQ(*Field(o.result.asList()[i], "name"), Value(cases[i].copy));
    EXPECT_EQ(ReadText(paths[i]), "contents " + std::to_string(i)) << "the path is the copy";
  }
}

// Folders are made once: a pick of many files makes one folder per copy
// (the picker's) and a few for the request, and asks for none that is there.
TEST_F(FilePickerTest, APickOfManyFilesMakesEachFolderOnce) {
  constexpr int kFiles = 300;
  std::vector<std::string> sources;
  for (int i = 0; i < kFiles; ++i) {
    sources.push_back(scratch_.writeFile("many/" + std::to_string(i) + ".txt", "x"));
  }
  auto call = start("any", Value::map({{"allowMultipleSelection", Value(true)}}));
  showPicker();
  const MkdirCount before = CountedMkdirs();
  provider_->answer(UISystemPickerAnswer::picked(sources));
  auto o = finish(call);
  const MkdirCount made = CountedMkdirs() - before;
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  ASSERT_EQ(PathsOf(o).size(), size_t{kFiles});
  EXPECT_LE(made.calls, kFiles + 3);
  EXPECT_LE(made.failed, 1);
}

TEST_F(FilePickerTest, CustomExtensionsFilterWhatThePickerMayHandOver) {
  const std::string text = scratch_.writeFile("notes.txt", "t");
  const std::string image = scratch_.writeFile("photo.png", "p");
  auto o = pick("custom",
                Value::map({{"allowedExtensions", Value::list({Value("txt"), Value("nope1")})},
                            {"allowMultipleSelection", Value(true)}}),
                UISystemPickerAnswer::picked({text, image, scratch_.path() + "/gone.txt"}));
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  const auto& request = provider_->requests().back();
  EXPECT_EQ(request.mode, UISystemPickerMode::Import);
  EXPECT_EQ(request.types, std::vector<std::string>{"public.plain-text"});
  EXPECT_NE(std::find(request.extensions.begin(), request.extensions.end(), "txt"),
            request.extensions.end());
  auto paths = PathsOf(o);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].substr(paths[0].size() - 9), "notes.txt");

  // Only files of other types: nothing can be handed over.
  auto none = pick("custom", Value::map({{"allowedExtensions", Value::list({Value("txt")})}}),
                   UISystemPickerAnswer::picked({image}));
  EXPECT_TRUE(IsError(none, "file_picker_error"));
}

class PhotoPickerTest : public FilePickerTest {
 protected:
  std::string library_;
  void SetUp() override {
    FilePickerTest::SetUp();
    library_ = scratch_.makeFolder("library");
    ::setenv("QX_PHOTO_LIBRARY", library_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("QX_PHOTO_LIBRARY");
    FilePickerTest::TearDown();
  }
};

TEST_F(PhotoPickerTest, PhotosAreCopiedWithProgressAndFailuresLeftOut) {
  const std::string a = scratch_.writeFile("library/a.jpg", "jpeg-a");
  const std::string b = scratch_.writeFile("library/b.heic", "heic-b");
  const std::string c = scratch_.writeFile("library/c.png", "png-c");
  auto call = start("image", Value::map({{"allowMultipleSelection", Value(true)}}));
  showPicker();
  const auto& request = provider_->requests().back();
  EXPECT_EQ(request.mode, UISystemPickerMode::Photo);
  EXPECT_EQ(request.limit, 0);
  EXPECT_EQ(request.startDirectory, library_);
  EXPECT_EQ(request.types, std::vector<std::string>{"public.image"});
  // One item goes away before it can be loaded. Gone before the answer, not
  // after: the loads start on other threads as soon as the answer is in.
  ::unlink(b.c_str());
  provider_->answer(UISystemPickerAnswer::picked({a, b, c}));
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o)) << o.code << " " << o.details.description();
  auto paths = PathsOf(o);
  ASSERT_EQ(paths.size(), 2u);
  std::set<std::string> contents;
  for (const auto& path : paths) {
    EXPECT_EQ(path.find(FilePickerPlugin::getDocumentDirectory() + "/picked_images/image_"), 0u);
    contents.insert(ReadText(path));
  }
  EXPECT_EQ(contents, (std::set<std::string>{"jpeg-a", "png-c"}));
  EXPECT_EQ(ReadText(a), "jpeg-a") << "the library's own file stays";
  auto e = events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0], Value(true));
  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(e[size_t(i)], Value::map({{"type", Value("progress")},
                                        {"count", Value::integer(i)},
                                        {"total", Value::integer(3)}}));
  }
  EXPECT_EQ(e[3], Value(false));
  EXPECT_EQ(eventsAtReply_, e) << "the last event comes before the reply";
}

TEST_F(PhotoPickerTest, WrongKindsAndTotalFailureAreReportedPerItem) {
  const std::string movie = scratch_.writeFile("library/m.mp4", "movie");
  const std::string text = scratch_.writeFile("library/t.txt", "text");
  auto o = pick("image", Value::map({{"allowMultipleSelection", Value(true)}}),
                UISystemPickerAnswer::picked({movie, text}));
  ASSERT_TRUE(IsError(o, "file_picker_error"));
  EXPECT_EQ(o.message, "Failed to process any images/video");
  EXPECT_EQ(o.details, Value("Item at index 0 is not an image\nItem at index 1 is not an image"));
  EXPECT_EQ(events(), (std::vector<Value>{Value(true), Value(false)}));
  EXPECT_EQ(eventsAtReply_, events()) << "the last event comes before the reply";

  auto media = pick("media", Value(), UISystemPickerAnswer::picked({text}));
  ASSERT_TRUE(IsError(media, "file_picker_error"));
  EXPECT_EQ(media.details, Value("Item at index 0 is not an image or video"));

  // A video request asks for movies only, checks nothing and fails at
  // loading.
  auto video = pick("video", Value(), UISystemPickerAnswer::picked({text}));
  EXPECT_EQ(provider_->requests().back().types, std::vector<std::string>{"public.movie"});
  ASSERT_TRUE(IsError(video, "file_picker_error"));
  EXPECT_EQ(video.details.asString().rfind("Failed to load image/video at index 0: ", 0), 0u);

  // Nothing picked: nil and no events.
  peer_->clearEvents();
  auto none = pick("image", Value(), UISystemPickerAnswer::cancelled());
  ASSERT_TRUE(IsSuccess(none));
  EXPECT_TRUE(none.result.isNull());
  EXPECT_TRUE(events().empty());
}

// How many lines of the log name `text`.
size_t Mentions(const RecordedLog& log, const std::string& text) {
  size_t n = 0;
  for (const auto& m : log.messages()) n += m.find(text) != std::string::npos;
  return n;
}

// A file that keeps changing while it is copied, on the photo road and the
// document road: among others it is left out and the rest answered; alone
// it fails the pick. So is, with withData, a document's copy whose contents
// cannot be read: never answered without its bytes. Either way the log names it
// exactly once, with why.
TEST_F(PhotoPickerTest, AFileThatKeepsChangingIsLeftOutAndNamedOnceInTheLog) {
  const std::string a = scratch_.writeFile("library/a.jpg", "jpeg-a");
  const std::string b = scratch_.writeFile("library/b.jpg", "jpeg-b");
  const std::string c = scratch_.writeFile("library/c.png", "png-c");
  struct Case {
    std::string method;
    std::vector<std::string> picked;
    const char* error;  // nullptr: the others are answered
    bool unreadCopy = false;  // else b changes while it is copied
  };
  const std::string unread = "/b.jpg left out, its contents cannot be read: ";
  const std::vector<Case> cases{
      {"image", {a, b, c}, nullptr},
      {"any", {a, b}, nullptr},
      {"image", {b}, "Failed to process any images/video"},
      {"any", {b}, "changed while it was copied"},
      {"any", {b, a}, nullptr, true},
      {"custom", {a, b}, nullptr, true},
      {"any", {b}, "None of the picked items could be answered", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.method + " of " + std::to_string(k.picked.size()) +
                 (k.unreadCopy ? ", withData" : ""));
    auto io = std::make_shared<ScriptedFileIO>();
    // The user's b is read whole into its copy; the copy in the container
    // fails on the disk.
    if (k.unreadCopy) {
      io->failReadsOf([&](const std::string& path) {
        return path.rfind(container_ + "/", 0) == 0 && path.ends_with("/b.jpg");
      });
    } else {
      io->changeDuringReads(b, 1000, false);
    }
    FileIO::setCurrent(io);
    auto log = RecordedLog::install();
    const Value extensions = k.method == "custom" ? Value::list({Value("jpg")}) : Value();
    auto o = pick(k.method,
                  Value::map({{"allowMultipleSelection", Value(true)},
                              {"withData", Value(k.unreadCopy)},
                              {"allowedExtensions", extensions}}),
                  UISystemPickerAnswer::picked(k.picked));
    FileIO::setCurrent(nullptr);
    if (k.unreadCopy) {
      EXPECT_EQ(Mentions(*log, unread), 1u) << ::testing::PrintToString(log->messages());
      EXPECT_EQ(Mentions(*log, "b.jpg"), 1u) << ::testing::PrintToString(log->messages());
    } else {
      EXPECT_EQ(Mentions(*log, b), 1u) << ::testing::PrintToString(log->messages());
      EXPECT_EQ(Mentions(*log, "changed while it was copied, 3 times"), 1u);
    }
    if (k.error) {
      ASSERT_TRUE(IsError(o, "file_picker_error")) << o.code;
      EXPECT_NE((o.message.value_or("") + o.details.description()).find(k.error),
                std::string::npos)
          << o.message.value_or("");
      continue;
    }
    ASSERT_TRUE(IsSuccess(o)) << o.code << " " << o.message.value_or("");
    std::multiset<std::string> contents;
    for (const Value& file : o.result.asList()) {
      const std::string text = ReadText(Field(file, "path")->asString());
      contents.insert(text);
      // What is answered carries its bytes when they were asked for.
      const Value* bytes = Field(file, "bytes");
      ASSERT_EQ(bytes != nullptr, k.unreadCopy) << file.description();
      if (bytes) {
        EXPECT_EQ(bytes->asBytes(), Bytes(text.begin(), text.end()));
      }
    }
    std::multiset<std::string> want;
    for (const auto& path : k.picked) {
      if (path != b) want.insert(ReadText(path));
    }
    EXPECT_EQ(contents, want);
  }
}

TEST_F(PhotoPickerTest, OlderSystemsUseTheImagePickerForOneItem) {
  ScriptedSystemInfo::install()->setOperatingSystemVersion({13, 7, 0});
  const std::string movie = scratch_.writeFile("library/clip.mov", "moov");
  auto o = pick("video", Value::map({{"compressionQuality", Value(0)}}),
                UISystemPickerAnswer::picked({movie}));
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  const auto& request = provider_->requests().back();
  EXPECT_EQ(request.mode, UISystemPickerMode::Image);
  EXPECT_EQ(request.types, (std::vector<std::string>{"public.movie", "public.avi", "public.video",
                                                     "public.mpeg-4"}));
  auto paths = PathsOf(o);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(ReadText(paths[0]), "moov");
  EXPECT_NE(paths[0], movie);

  // The same movie again gets a fresh copy; the first stays as it was.
  auto again = pick("video", Value(), UISystemPickerAnswer::picked({movie}));
  ASSERT_TRUE(IsSuccess(again));
  EXPECT_NE(PathsOf(again)[0], paths[0]);
  EXPECT_EQ(ReadText(paths[0]), "moov");

  const std::string image = scratch_.writeFile("library/p.png", "png");
  auto picture = pick("image", Value(), UISystemPickerAnswer::picked({image}));
  ASSERT_TRUE(IsSuccess(picture));
  EXPECT_EQ(ReadText(PathsOf(picture)[0]), "png");
  // An image offered to a video request is none of its media types.
  EXPECT_TRUE(IsError(pick("video", Value(), UISystemPickerAnswer::picked({image})),
                      "file_picker_error"));

  // The picker's copies are this host's files: "clear" removes them, and no
  // folder of the picker is left in the temporary directory.
  ASSERT_TRUE(IsSuccess(peer_->call(kPickerChannel, "clear")));
  for (const auto& path : {paths[0], PathsOf(again)[0], PathsOf(picture)[0]}) {
    EXPECT_FALSE(NSFileManager::defaultManager()->fileExistsAtPath(path)) << path;
  }
  const auto left =
      NSFileManager::defaultManager()->contentsOfDirectoryAtPath(NSTemporaryDirectory());
  ASSERT_TRUE(left);
  for (const auto& name : *left)
    EXPECT_EQ(name.find("UIImagePickerController"), std::string::npos) << name;
}

TEST_F(FilePickerTest, MusicItemsExportToTheirOwnM4AFiles) {
  const std::string music = scratch_.makeFolder("music");
  ::setenv("QX_MUSIC_LIBRARY", music.c_str(), 1);
  ASSERT_TRUE(WriteFixtureTone(music + "/one.wav", 0.5, std::string("Live/Set")));
  ASSERT_TRUE(WriteFixtureTone(music + "/two.wav", 0.3, std::string("Live/Set")));
  ASSERT_TRUE(WriteFixtureTone(music + "/untitled.wav", 0.2, std::nullopt));
  const std::string notAudio = scratch_.writeFile("music/readme.txt", "x");
  auto o = pick("audio", Value::map({{"allowMultipleSelection", Value(true)}}),
                UISystemPickerAnswer::picked({music + "/one.wav", music + "/two.wav", notAudio,
                                              music + "/untitled.wav"}));
  ::unsetenv("QX_MUSIC_LIBRARY");
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  EXPECT_EQ(provider_->requests().back().mode, UISystemPickerMode::Music);
  EXPECT_EQ(provider_->requests().back().startDirectory, music);
  auto paths = PathsOf(o);
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_NE(paths[0], paths[1]) << "one title, two files";
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string name = paths[i].substr(paths[i].find_last_of('/') + 1);
    EXPECT_EQ(name.rfind(i < 2 ? "Live_Set-" : "audio-", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".m4a");
    EXPECT_EQ(FixtureAudioCodec(paths[i]), "aac") << "a real encode of the PCM source";
    EXPECT_GT(Field(o.result.asList()[i], "size")->asInt64(), 0);
  }
  EXPECT_EQ(events(), (std::vector<Value>{Value(true), Value(false)}));
  EXPECT_EQ(eventsAtReply_, events()) << "the last event comes before the reply";

  // An AAC source is copied as it is; an empty pick answers nil.
  auto copy = pick("audio", Value(), UISystemPickerAnswer::picked({paths[0]}));
  ASSERT_TRUE(IsSuccess(copy));
  ASSERT_EQ(PathsOf(copy).size(), 1u);
  EXPECT_EQ(FixtureAudioCodec(PathsOf(copy)[0]), "aac");
  auto empty = pick("audio", Value(), UISystemPickerAnswer::picked({notAudio}));
  ASSERT_TRUE(IsSuccess(empty));
  EXPECT_TRUE(empty.result.isNull());
  // The exports are this host's files.
  ASSERT_TRUE(IsSuccess(peer_->call(kPickerChannel, "clear")));
  for (const auto& path : paths)
    EXPECT_FALSE(NSFileManager::defaultManager()->fileExistsAtPath(path));
}

}  // namespace

}  // namespace file_picker_results_test

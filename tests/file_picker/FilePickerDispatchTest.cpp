// Requests and their answers: dispatch, the one-request rule, pickers that
// cannot be shown, saving, and the reply records.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <vector>

#include "FilePickerTestSupport.h"
#include "file_picker/FilePickerUtils.h"
#include "file_picker/internal/FilePickerTemporaryFiles.h"
#include "file_picker/internal/ImageUtils.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/UTF8.h"
#include "platform/uikit/UIDocumentPickerViewController.h"
#include "platform/uikit/UIWindow.h"
#include "support/ScriptedLocations.h"
#include "support/ScriptedSystemInfo.h"

namespace file_picker_dispatch_test {

namespace {

using FilePickerUtilsTest = PlatformTest;
using ImageUtilsTest = PlatformTest;

bool IsErrorWithCode(const FlutterMethodOutcome& o, const std::string& code) {
  return o.kind == FlutterMethodOutcome::Kind::Error && o.code == code;
}

TEST_F(FilePickerTest, ClearUnknownAndUnsupportedAnswerAtOnceAndLeaveNothingPending) {
  auto clear = peer_->call(kPickerChannel, "clear");
  ASSERT_TRUE(IsSuccess(clear));
  EXPECT_EQ(clear.result, Value(true));

  EXPECT_TRUE(IsNotImplemented(peer_->call(kPickerChannel, "nothing")));
  // "xcustomx" is not "custom": no identifiers.
  auto contains = peer_->call(kPickerChannel, "xcustomx",
                              Value::map({{"allowedExtensions", Value::list({Value("txt")})}}));
  EXPECT_TRUE(IsErrorWithCode(contains, "Unsupported file extension"));
  EXPECT_EQ(contains.message->substr(0, 40), "If you are providing extension filters m");
  for (const Value& extensions : {Value(), Value(ValueList{}), Value("txt"), Value(7)}) {
    auto o = peer_->call(kPickerChannel, "custom", Value::map({{"allowedExtensions", extensions}}));
    EXPECT_TRUE(IsErrorWithCode(o, "Unsupported file extension")) << extensions.description();
  }
  // Every request above was answered: a new one is not refused.
  auto call = start("any");
  showPicker();
  EXPECT_EQ(provider_->waiting(), 1u);
  provider_->answer(UISystemPickerAnswer::cancelled());
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_TRUE(o.result.isNull());
}

// Another host on the container holds the lock of its folder's owner file
// for as long as it runs.
class OtherHost {
 public:
  OtherHost(const std::string& folder, bool running) : folder_(folder) {
    NSFileManager::defaultManager()->createDirectoryAtPath(folder + "/picked-1", true);
    NSFileManager::defaultManager()->createFileAtPath(folder + "/picked-1/theirs.txt", Bytes{'t'});
    owner_ = ::open((folder + "/.owner").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (running) ::flock(owner_, LOCK_EX | LOCK_NB);
  }
  ~OtherHost() { ::close(owner_); }
  std::string file() const { return folder_ + "/picked-1/theirs.txt"; }

 private:
  std::string folder_;
  int owner_ = -1;
};

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

TEST_F(FilePickerTest, ClearRemovesWhatThisHostsPicksMadeAndWhatEndedHostsLeftOnly) {
  const std::string tmp = NSTemporaryDirectory();
  auto o =
      pick("any", Value(), UISystemPickerAnswer::picked({scratch_.writeFile("mine.txt", "m")}));
  ASSERT_TRUE(IsSuccess(o));
  const std::string mine = Field(o.result.asList()[0], "path")->asString();
  ASSERT_EQ(ReadText(mine), "m");
  const std::string ownFolder = mine.substr(0, mine.find('/', tmp.size()));
  EXPECT_TRUE(FilePickerTemporaryFiles::isHostFolderName(ownFolder.substr(tmp.size()))) << mine;

  OtherHost running(tmp + "file_picker-4242-0a1b2c3d", true);
  OtherHost ended(tmp + "file_picker-4343-DEADBEEF", false);
  // Killed while it made its folder: no owner file yet.
  NSFileManager::defaultManager()->createDirectoryAtPath(tmp + "file_picker-4444-00000000", true);
  scratch_.writeFile("container/tmp/other.txt", "no host's");
  scratch_.writeFile("container/tmp/file_picker-12-notahost/x", "no host's");
  scratch_.writeFile("container/tmp/file_picker-12345678-2FA1-11D2-883F-0016D3CCA427/x",
                     "no host's");
  scratch_.writeFile("container/tmp/file_picker-12-0A1B2C3D4/x", "no host's");

  auto clear = peer_->call(kPickerChannel, "clear");
  ASSERT_TRUE(IsSuccess(clear));
  EXPECT_EQ(clear.result, Value(true));
  EXPECT_FALSE(Exists(mine));
  EXPECT_EQ(NSFileManager::defaultManager()->contentsOfDirectoryAtPath(ownFolder),
            std::vector<std::string>{".owner"});
  EXPECT_EQ(ReadText(running.file()), "t") << "a running host's pick stays";
  EXPECT_FALSE(Exists(tmp + "file_picker-4343-DEADBEEF"));
  EXPECT_FALSE(Exists(tmp + "file_picker-4444-00000000"));
  EXPECT_EQ(ReadText(tmp + "other.txt"), "no host's");
  EXPECT_EQ(ReadText(tmp + "file_picker-12-notahost/x"), "no host's");
  // Nothing else is left: the folder the picker copied into went with the move.
  auto left = NSFileManager::defaultManager()->contentsOfDirectoryAtPath(tmp).value_or(
      std::vector<std::string>{});
  std::vector<std::string> expected{".file_picker.lock",
                                    "file_picker-12-notahost",
                                    "file_picker-12345678-2FA1-11D2-883F-0016D3CCA427",
                                    "file_picker-12-0A1B2C3D4",
                                    "file_picker-4242-0a1b2c3d",
                                    ownFolder.substr(tmp.size()),
                                    "other.txt"};
  std::sort(left.begin(), left.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);

  // Picks go on into this host's folder, and into a new one when something
  // removed it.
  auto again = pick("any", Value(), UISystemPickerAnswer::picked({scratch_.path() + "/mine.txt"}));
  ASSERT_TRUE(IsSuccess(again));
  EXPECT_EQ(Field(again.result.asList()[0], "path")->asString().rfind(ownFolder + "/", 0), 0u);
  ASSERT_TRUE(NSFileManager::defaultManager()->removeItemAtPath(ownFolder));
  auto anew = pick("any", Value(), UISystemPickerAnswer::picked({scratch_.path() + "/mine.txt"}));
  ASSERT_TRUE(IsSuccess(anew)) << anew.code;
  ASSERT_EQ(anew.result.size(), 1u);
  EXPECT_EQ(ReadText(Field(anew.result.asList()[0], "path")->asString()), "m");
}

// A copy folder of an ended host that cannot be removed (a path inside it
// longer than any call takes) makes "clear" answer false; the others still go.
TEST_F(FilePickerTest, ClearAnswersFalseWhenAnEndedHostsCopyCannotBeRemoved) {
  const std::string tmp = NSTemporaryDirectory();
  // No process has this pid: pids stay below 2^22.
  const std::string ended = "4194304-1-0A1B2C3D-0000-4000-8000-00000000000";
  const std::string deep = tmp + "Inbox-" + ended + "1";
  const std::string removable = tmp + "Inbox-" + ended + "2";
  ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(deep, true));
  scratch_.writeFile("container/tmp/Inbox-" + ended + "2/partial.jpg", "half a copy");
  const std::string name(200, 'd');
  std::vector<int> chain{::open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  for (size_t length = deep.size(); length <= PATH_MAX && chain.back() >= 0;
       length += name.size() + 1) {
    ASSERT_EQ(::mkdirat(chain.back(), name.c_str(), 0700), 0);
    chain.push_back(::openat(chain.back(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  ASSERT_GE(chain.back(), 0);

  auto clear = peer_->call(kPickerChannel, "clear");
  ASSERT_TRUE(IsSuccess(clear));
  EXPECT_EQ(clear.result, Value(false));
  EXPECT_FALSE(Exists(removable));

  for (size_t i = chain.size() - 1; i > 0; --i) {
    ::close(chain[i]);
    ::unlinkat(chain[i - 1], name.c_str(), AT_REMOVEDIR);
  }
  ::close(chain[0]);
}

TEST_F(FilePickerTest, ASecondRequestIsRefusedAndTheFirstStillAnswered) {
  const std::string original = scratch_.writeFile("mine/report.txt", "precious");
  auto first = start("any", Value::map({{"withData", Value(true)}}));
  showPicker();
  auto second = peer_->call(kPickerChannel, "image");
  ASSERT_TRUE(IsErrorWithCode(second, "multiple_request"));
  EXPECT_EQ(second.message, "Cancelled by a second request");
  EXPECT_FALSE(first->has_value());

  ASSERT_TRUE(provider_->answer(UISystemPickerAnswer::picked({original})));
  auto o = finish(first);
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  ASSERT_EQ(o.result.size(), 1u);
  const Value& file = o.result.asList()[0];
  const std::string path = Field(file, "path")->asString();
  EXPECT_NE(path, original);
  EXPECT_EQ(ReadText(path), "precious");
  EXPECT_EQ(*Field(file, "name"), Value("report.txt"));
  EXPECT_EQ(Field(file, "size")->asInt64(), 8);
  EXPECT_EQ(*Field(file, "identifier"), Value(NSURL::fileURLWithPath(path)->absoluteString()));
  EXPECT_EQ(Field(file, "bytes")->asBytes(), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
  EXPECT_EQ(ReadText(original), "precious") << "the user's file is never moved";
}

TEST_F(FilePickerTest, PickersThatCannotBeShownAnswerOnceAndFreeTheNextRequest) {
  provider_->setAvailable(false);
  for (const char* method : {"any", "dir", "image", "video", "media", "audio"}) {
    auto o = peer_->call(kPickerChannel, method);
    EXPECT_TRUE(IsErrorWithCode(o, "file_picker_error")) << method;
  }
  provider_->setAvailable(true);
  // The picker program failed after it was shown.
  auto call = start("any");
  showPicker();
  provider_->answer(UISystemPickerAnswer::failed("exited with status 3"));
  EXPECT_TRUE(IsErrorWithCode(finish(call), "file_picker_error"));
  EXPECT_EQ(window_->rootViewController()->presentedViewController(), nullptr);
  // No key window: nothing to present from.
  window_->setHidden(true);
  auto other = std::make_shared<UIWindow>(CGRectMake(0, 0, 10, 10));
  other->makeKeyAndVisible();
  EXPECT_TRUE(IsErrorWithCode(peer_->call(kPickerChannel, "any"), "file_picker_error"));
  window_->makeKeyAndVisible();
  // Nothing of that is still pending.
  call = start("dir");
  showPicker();
  provider_->answer(UISystemPickerAnswer::picked({scratch_.makeFolder("chosen")}));
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_EQ(o.result, Value(scratch_.path() + "/chosen"));
  ASSERT_FALSE(provider_->requests().empty());
  EXPECT_EQ(provider_->requests().back().mode, UISystemPickerMode::Open);
  EXPECT_EQ(provider_->requests().back().types, std::vector<std::string>{"public.folder"});
  EXPECT_FALSE(provider_->requests().back().multiple);
}

TEST_F(FilePickerTest, ASwipedAwayPickerAnswersNilOnceAndItsPickIsCancelled) {
  auto call = start("any");
  showPicker();
  auto picker = window_->rootViewController()->presentedViewController();
  ASSERT_NE(picker, nullptr);
  ASSERT_TRUE(picker->presentationController()->dismissByUser());
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_TRUE(o.result.isNull());
  EXPECT_EQ(provider_->cancelled(), 1);
  EXPECT_EQ(provider_->waiting(), 0u);
}

TEST_F(FilePickerTest, SaveWritesIntoAFolderOfItsOwnAndRefusesHostileNames) {
  const std::string documents = FilePickerPlugin::getDocumentDirectory();
  const std::string existing = documents + "/notes.txt";
  NSFileManager::defaultManager()->createFileAtPath(existing, Bytes{'o', 'l', 'd'});
  const std::string tmp = NSTemporaryDirectory();
  NSFileManager::defaultManager()->createFileAtPath(tmp + "notes.txt", Bytes{'t', 'm', 'p'});
  const std::string destination = scratch_.makeFolder("saves") + "/notes.txt";

  auto call = start("save", Value::map({{"fileName", Value("notes.txt")},
                                        {"initialDirectory", Value(scratch_.path())},
                                        {"bytes", Value::bytes(Bytes{'n', 'e', 'w'})}}));
  showPicker();
  ASSERT_EQ(provider_->requests().size(), 1u);
  const auto& request = provider_->requests()[0];
  EXPECT_EQ(request.mode, UISystemPickerMode::Export);
  EXPECT_EQ(request.startDirectory, scratch_.path());
  EXPECT_EQ(ReadText(request.exportFile), "new") << "written before the picker shows";
  // The folder holds that file alone and lies in this host's own folder.
  const std::string folder = request.exportFile.substr(0, request.exportFile.find_last_of('/'));
  EXPECT_EQ(NSFileManager::defaultManager()->contentsOfDirectoryAtPath(folder),
            std::vector<std::string>{"notes.txt"});
  const std::string hostFolder = folder.substr(0, folder.find_last_of('/'));
  EXPECT_EQ(hostFolder.substr(0, tmp.size()), tmp);
  EXPECT_TRUE(FilePickerTemporaryFiles::isHostFolderName(hostFolder.substr(tmp.size()))) << folder;
  EXPECT_EQ(ReadText(existing), "old") << "nothing that exists is removed";
  EXPECT_EQ(ReadText(tmp + "notes.txt"), "tmp") << "nor overwritten";
  provider_->answer(UISystemPickerAnswer::picked({destination}));
  auto o = finish(call);
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  EXPECT_EQ(o.result, Value(destination));
  EXPECT_EQ(ReadText(destination), "new");
  EXPECT_FALSE(NSFileManager::defaultManager()->fileExistsAtPath(folder))
      << "it goes with the request";

  const std::string before = ReadText(existing);
  for (const Value& name :
       {Value(""), Value("."), Value(".."), Value("../escape.txt"), Value("a/b"),
        Value(std::string("a\0b", 3)), Value(std::string(4096, 'n')), Value("bad\xff\xfe.txt"),
        Value(5), Value()}) {
    auto refused = peer_->call(kPickerChannel, "save",
                               Value::map({{"fileName", name}, {"bytes", Value::bytes({1})}}));
    EXPECT_TRUE(IsErrorWithCode(refused, "Failed to write file")) << name.description();
  }
  EXPECT_EQ(ReadText(existing), before);
  EXPECT_FALSE(NSFileManager::defaultManager()->fileExistsAtPath(documents + "/../escape.txt"));
  EXPECT_EQ(provider_->requests().size(), 1u) << "no picker for a refused name";
}

TEST_F(FilePickerTest, SaveNamesTakeUpTo255Bytes) {
  const std::string saves = scratch_.makeFolder("saves");
  // "é" is two bytes: names are measured in bytes.
  for (auto [name, fits] : {std::pair{std::string(250, 'n') + ".txt", true},
                            std::pair{std::string(251, 'n') + ".txt", true},
                            std::pair{std::string(249, 'n') + "\xc3\xa9.txt", true},
                            std::pair{std::string(252, 'n') + ".txt", false},
                            std::pair{std::string(250, 'n') + "\xc3\xa9.txt", false}}) {
    SCOPED_TRACE(name.size());
    const Value arguments =
        Value::map({{"fileName", Value(name)}, {"bytes", Value::bytes(Bytes{'a', 'b'})}});
    if (!fits) {
      EXPECT_TRUE(
          IsErrorWithCode(peer_->call(kPickerChannel, "save", arguments), "Failed to write file"));
      continue;
    }
    auto o = pick("save", arguments, UISystemPickerAnswer::picked({saves + "/" + name}));
    ASSERT_TRUE(IsSuccess(o)) << o.code << " " << o.message.value_or("");
    EXPECT_EQ(o.result, Value(saves + "/" + name));
    EXPECT_EQ(ReadText(saves + "/" + name), "ab");
  }
}

TEST_F(FilePickerTest, ASaveWithoutBytesAnswersTheChosenPathAndLeavesThatFileAlone) {
  const std::string saves = scratch_.makeFolder("saves");
  const std::string existing = scratch_.writeFile("saves/report.txt", "precious");
  auto o = pick("save", Value::map({{"fileName", Value("report.txt")}}),
                UISystemPickerAnswer::picked({existing}));
  ASSERT_TRUE(IsSuccess(o)) << o.code;
  EXPECT_EQ(o.result, Value(existing));
  EXPECT_EQ(ReadText(existing), "precious");
  EXPECT_EQ(provider_->requests().back().mode, UISystemPickerMode::Export);
  EXPECT_EQ(provider_->requests().back().exportFile.substr(
                provider_->requests().back().exportFile.find_last_of('/')),
            "/report.txt")
      << "the picker still offers the name";

  // A new place: nothing appears there; a folder is no place for a file.
  auto fresh = pick("save", Value::map({{"fileName", Value("new.txt")}}),
                    UISystemPickerAnswer::picked({saves + "/new.txt"}));
  ASSERT_TRUE(IsSuccess(fresh));
  EXPECT_EQ(fresh.result, Value(saves + "/new.txt"));
  EXPECT_FALSE(NSFileManager::defaultManager()->fileExistsAtPath(saves + "/new.txt"));
  EXPECT_TRUE(IsErrorWithCode(pick("save", Value::map({{"fileName", Value("new.txt")}}),
                                   UISystemPickerAnswer::picked({saves})),
                              "file_picker_error"));
  EXPECT_EQ(ReadText(existing), "precious");
}

// A chosen folder or save destination whose path is not UTF-8 would come
// back as a path naming nothing: it is answered with an error that says why,
// and a save writes nothing. A path that is UTF-8 up to its last byte is
// still answered; imported files come as copies named so a reply can name them.
TEST_F(FilePickerTest, PathsNoReplyCanNameAreRefusedAndNothingIsSaved) {
  const std::string bad = scratch_.makeFolder("caf\xE9");
  const std::string good = scratch_.makeFolder("caf\xC3\xA9");
  scratch_.writeFile("caf\xE9/in.txt", "inside");
  struct Case {
    std::string method;
    Value arguments;
    std::string chosen;
    bool refused;
  };
  const Value bytes = Value::map({{"fileName", Value("out.txt")}, {"bytes", Value::bytes(Bytes{'o', 'k'})}});
  const Value name = Value::map({{"fileName", Value("out.txt")}});
  const std::vector<Case> cases{{"dir", Value(), bad, true},
                                {"dir", Value(), good, false},
                                {"save", bytes, bad + "/out.txt", true},
                                {"save", name, bad + "/out.txt", true},
                                {"save", bytes, good + "/out.txt", false},
                                {"any", Value(), bad + "/in.txt", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + ValidUTF8(c.chosen));
    auto o = pick(c.method, c.arguments, UISystemPickerAnswer::picked({c.chosen}));
    if (c.refused) {
      ASSERT_TRUE(IsErrorWithCode(o, "file_picker_error")) << o.code;
      EXPECT_NE(o.message.value_or("").find("not valid UTF-8"), std::string::npos);
      continue;
    }
    ASSERT_TRUE(IsSuccess(o)) << o.code << " " << o.message.value_or("");
    const std::string answered =
        o.result.isString() ? o.result.asString() : Field(o.result.asList()[0], "path")->asString();
    EXPECT_EQ(ValidUTF8(answered), answered);
  }
  EXPECT_FALSE(NSFileManager::defaultManager()->fileExistsAtPath(bad + "/out.txt"));
  EXPECT_EQ(ReadText(good + "/out.txt"), "ok");
}

// A pick whose contents a reply with "withData" would refuse is refused on
// every road that copies before a byte is copied: the sizes are read first.
// The scripted disk holds only a little, so a road that copied would fail
// for want of room instead, and say so. The files are sparse.
TEST_F(FilePickerTest, WithDataOverItsLimitIsRefusedBeforeAnythingIsCopied) {
  class SmallDisk : public ScriptedPickerProvider {
   public:
    std::optional<uint64_t> availableBytes(const std::string&) override { return 1 << 20; }
  };
  provider_ = std::make_shared<SmallDisk>();
  UISystemPickerProvider::setCurrent(provider_);
  const uint64_t limit = FilePickerUtils::withDataLimit();
  auto sparse = [&](const std::string& name, uint64_t size) {
    const std::string path = scratch_.writeFile(name, "");
    EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
    return path;
  };
  const std::string over = sparse("over.png", limit + 1);
  const std::string half = sparse("half.png", limit / 2 + 1);
  const std::string exactly = sparse("exactly.png", limit);
  const std::string refused =
      "withData holds at most " + std::to_string(limit) + " bytes; the picked files hold ";
  struct Case {
    const char* method;
    int system;
    std::vector<std::string> picked;
    bool withData;
    std::string message;  // the error's message, or what it says of the disk
  };
  const std::string noRoom = "the picked items take";
  for (const Case& c : std::vector<Case>{
           {"any", 17, {over}, true, refused + std::to_string(limit + 1)},
           {"any", 17, {half, half}, true, refused + std::to_string(2 * (limit / 2 + 1))},
           {"image", 17, {over}, true, refused + std::to_string(limit + 1)},
           {"image", 13, {over}, true, refused + std::to_string(limit + 1)},
           {"any", 17, {exactly}, true, noRoom},
           {"image", 17, {exactly}, true, noRoom},
           {"any", 17, {over}, false, noRoom},
           {"image", 13, {over}, false, noRoom}}) {
    ScriptedSystemInfo::install()->setOperatingSystemVersion({c.system, 0, 0});
    auto o = pick(c.method,
                  Value::map({{"withData", Value(c.withData)},
                              {"allowMultipleSelection", Value(c.picked.size() > 1)}}),
                  UISystemPickerAnswer::picked(c.picked));
    SCOPED_TRACE(std::string(c.method) + " on " + std::to_string(c.system) + ", " +
                 std::to_string(c.picked.size()) + " files, withData " +
                 std::to_string(c.withData));
    ASSERT_TRUE(IsErrorWithCode(o, "file_picker_error")) << o.code;
    const std::string message = o.message.value_or("");
    EXPECT_TRUE(c.message == noRoom ? message.find(noRoom) != std::string::npos
                                    : message == c.message)
        << message;
  }
}

// The contents of a pick fill the one allocation that can fail for its
// size: in a process whose address space ends just past what it uses, a
// pick with its contents is answered an error and the next pick works.
TEST_F(FilePickerTest, RunningOutOfMemoryForTheContentsAnswersAnError) {
#if defined(QX_SANITIZER_ALLOCATOR)
  // (the thread sanitizer's allocator stops the process instead of failing)
  GTEST_SKIP() << "the address sanitizer's reservations leave no address space to limit";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string big = scratch_.writeFile("big.bin", "");
  ASSERT_EQ(::truncate(big.c_str(), 96 << 20), 0);
  const std::string small = scratch_.writeFile("small.txt", "s");
  auto pickWithLittleRoom = [&] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t room =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (48 << 20);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = room;
    ::setrlimit(RLIMIT_AS, &limit);
    auto o =
        pick("any", Value::map({{"withData", Value(true)}}), UISystemPickerAnswer::picked({big}));
    const bool answered =
        IsErrorWithCode(o, "file_picker_error") &&
        o.message == "There is not enough memory to hold the picked files' contents";
    auto next =
        pick("any", Value::map({{"withData", Value(true)}}), UISystemPickerAnswer::picked({small}));
    std::_Exit(answered && IsSuccess(next) && next.result.size() == 1 ? 0 : 1);
  };
  EXPECT_EXIT(pickWithLittleRoom(), ::testing::ExitedWithCode(0), "");
#endif
}

TEST_F(FilePickerTest, ArgumentsOfTheWrongKindReadAsMissing) {
  const std::string file = scratch_.writeFile("f.txt", "abc");
  for (const Value& args :
       {Value(), Value("x"), Value(ValueList{Value(1)}),
        Value::map({{"allowMultipleSelection", Value("yes")}, {"withData", Value(1)},
                    {"compressionQuality", Value("high")}}),
        Value::map({{"compressionQuality", Value::integer(INT64_MIN)},
                    {"withData", Value(ValueMap{})}})}) {
    auto o = pick("any", args, UISystemPickerAnswer::picked({file}));
    ASSERT_TRUE(IsSuccess(o)) << args.description();
    ASSERT_EQ(o.result.size(), 1u);
    EXPECT_EQ(Field(o.result.asList()[0], "bytes"), nullptr) << args.description();
    EXPECT_FALSE(provider_->requests().back().multiple);
  }
}

TEST_F(FilePickerUtilsTest, TypesMediaCodesAndRecords) {
  EXPECT_EQ(FilePickerUtils::resolveType("any", Value()), std::vector<std::string>{"public.item"});
  EXPECT_EQ(FilePickerUtils::resolveType("media", Value()),
            (std::vector<std::string>{"public.image", "public.video"}));
  EXPECT_EQ(FilePickerUtils::resolveType("other", Value()), std::nullopt);
  EXPECT_EQ(FilePickerUtils::resolveType(
                "custom", Value::list({Value("jpg"), Value("zzzq"), Value(3), Value("pdf"),
                                       Value("a/b"), Value(".png")})),
            (std::vector<std::string>{"public.jpeg", "com.adobe.pdf", "public.png"}));
  EXPECT_EQ(FilePickerUtils::resolveType("custom", Value::list({Value("zzzq")})),
            std::vector<std::string>{});
  EXPECT_EQ(FilePickerUtils::resolveMediaType("video"), 0);
  EXPECT_EQ(FilePickerUtils::resolveMediaType("image"), 1);
  EXPECT_EQ(FilePickerUtils::resolveMediaType("anything"), 2);

  TempFolder temp;
  const std::string readable = temp.writeFile("r.bin", Bytes{1, 2, 3});
  const std::string unreadable = temp.writeFile("u.bin", Bytes{4});
  ::chmod(unreadable.c_str(), 0);
  const bool root = ::access(unreadable.c_str(), R_OK) == 0;
  auto list = FilePickerUtils::resolveFileInfo(
      std::vector<NSURLPtr>{NSURL::fileURLWithPath(temp.path() + "/missing.txt"),
                            NSURL::fileURLWithPath(readable), NSURL::fileURLWithPath(unreadable)},
      true);
  ASSERT_TRUE(list && list->size() == 3);
  const Value& missing = list->asList()[0];
  EXPECT_EQ(*Field(missing, "size"), Value::integer(0));
  EXPECT_EQ(*Field(missing, "name"), Value("missing.txt"));
  EXPECT_EQ(Field(missing, "bytes"), nullptr);
  EXPECT_EQ(Field(list->asList()[1], "bytes")->asBytes(), Bytes({1, 2, 3}));
  if (!root) {
    EXPECT_EQ(Field(list->asList()[2], "bytes"), nullptr);
  }
  EXPECT_EQ(*Field(list->asList()[2], "size"), Value::integer(1));
  for (const Value& entry : list->asList()) EXPECT_EQ(Field(entry, "isDirectory"), nullptr);
  auto noData = FilePickerUtils::resolveFileInfo(
      std::vector<NSURLPtr>{NSURL::fileURLWithPath(readable)}, false);
  EXPECT_EQ(Field(noData->asList()[0], "bytes"), nullptr);
  EXPECT_EQ(FilePickerUtils::resolveFileInfo(std::nullopt, true), std::nullopt);

  // The contents of one reply, against a limit reached exactly and one past.
  const std::string four = temp.writeFile("four.bin", Bytes{5, 6, 7, 8});
  const std::vector<NSURLPtr> both{NSURL::fileURLWithPath(readable), NSURL::fileURLWithPath(four),
                                   NSURL::fileURLWithPath(temp.path() + "/missing.txt")};
  for (auto [limit, withData, refused] :
       {std::tuple{uint64_t{7}, true, false}, std::tuple{uint64_t{6}, true, true},
        std::tuple{uint64_t{0}, false, false}}) {
    SCOPED_TRACE(limit);
    std::string refusal;
    auto files = FilePickerUtils::resolveFileInfo(both, withData, limit, &refusal);
    EXPECT_EQ(files.has_value(), !refused);
    EXPECT_EQ(refusal, refused ? "withData holds at most 6 bytes; the picked files hold 7" : "");
    if (files && withData) {
      EXPECT_EQ(Field(files->asList()[1], "bytes")->asBytes(), Bytes({5, 6, 7, 8}));
    }
  }

  EXPECT_EQ(FilePickerUtils::cleanedName("My/Song: Live\n"), "My_Song: Live_");
  EXPECT_EQ(FilePickerUtils::cleanedName("..hidden"), "hidden");
  EXPECT_EQ(FilePickerUtils::cleanedName(""), "audio");
  EXPECT_EQ(FilePickerUtils::cleanedName("\xff\xfe"), "__");
  const std::string longName = FilePickerUtils::cleanedName(std::string(40, 'a') + "\xc3\xa9\xc3\xa9" +
                                                            std::string(40, 'b'));
  EXPECT_LE(longName.size(), 64u);
  EXPECT_EQ(longName.substr(40, 4), "\xc3\xa9\xc3\xa9");
}

TEST_F(ImageUtilsTest, TemporaryImagesAreFileURLsInTheirFormat) {
  TempFolder temp;
  ScriptedLocations::installed().setContainerRoot(temp.path());
  auto opaque = UIImage::imageWithCGImage(CGImage::create(
      4, 4, 8, 32, 16, kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big,
      std::make_shared<Bytes>(64, 200)));
  auto clear = UIImage::imageWithCGImage(CGImage::create(
      4, 4, 8, 32, 16, kCGImageAlphaPremultipliedLast | kCGBitmapByteOrder32Big,
      std::make_shared<Bytes>(64, 100)));
  EXPECT_FALSE(ImageUtils::hasAlpha(opaque));
  EXPECT_TRUE(ImageUtils::hasAlpha(clear));
  auto jpeg = ImageUtils::saveTmpImage(opaque);
  auto png = ImageUtils::saveTmpImage(clear);
  ASSERT_TRUE(jpeg && png);
  EXPECT_TRUE(jpeg->isFileURL());
  EXPECT_EQ(jpeg->pathExtension(), "jpg");
  EXPECT_EQ(png->pathExtension(), "png");
  EXPECT_EQ(ReadText(jpeg->path()).substr(0, 2), "\xff\xd8");
  EXPECT_EQ(ReadText(png->path()).substr(1, 3), "PNG");
  ScriptedLocations::installed().setContainerRoot("");
}

}  // namespace

}  // namespace file_picker_dispatch_test

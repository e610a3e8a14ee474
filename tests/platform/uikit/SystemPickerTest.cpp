// The system picker provider that runs QX_PICKER_COMMAND: what it passes to
// the program and how it reads the program's answer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/uikit/UIDocumentPickerViewController.h"
#include "platform/uikit/UISystemPicker.h"
#include "platform/uikit/UIWindow.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedPickerProvider.h"
#include "support/ui/UITouchDriver.h"

namespace system_picker_test {

namespace {

using SystemPickerTest = PlatformTest;

TEST_F(SystemPickerTest, ArgumentsNeverReadAsOptionsOrUnnamedPaths) {
  TempFolder temp;
  const std::string folder = temp.makeFolder("start");
  ASSERT_EQ(::symlink(folder.c_str(), (temp.path() + "/link").c_str()), 0);
  UISystemPickerRequest request;
  request.mode = UISystemPickerMode::Import;
  request.types = {"public.jpeg", "-rf", "a b", "x=y", "public.plain-text"};
  request.extensions = {"jpg", "--version", "", ".hidden", "t/x"};
  request.multiple = true;
  request.limit = -5;
  request.startDirectory = temp.path() + "/link/../link";
  auto args = UISystemPickerArguments(request);
  ASSERT_TRUE(args);
  EXPECT_EQ(*args, (std::vector<std::string>{"mode=import", "multiple=1", "limit=0",
                                             "type=public.jpeg", "type=public.plain-text",
                                             "extension=jpg", "start=" + folder}));
  for (const auto& a : *args) EXPECT_NE(a[0], '-');

  request.startDirectory = temp.path() + "/missing";
  EXPECT_EQ(UISystemPickerArguments(request)->size(), 6u) << "a start that is not there";
  request.mode = UISystemPickerMode::Export;
  request.exportFile = temp.path() + "/nothing.txt";
  EXPECT_EQ(UISystemPickerArguments(request), std::nullopt);
  const std::string file = temp.writeFile("save.txt", "x");
  request.exportFile = file;
  EXPECT_EQ(UISystemPickerArguments(request)->back(), "save=" + file);
  EXPECT_EQ(UISystemPickerArguments(request)->front(), "mode=export");
}

TEST_F(SystemPickerTest, OutputKeepsOnlyUsablePaths) {
  TempFolder temp;
  const std::string a = temp.writeFile("a.txt", "a");
  // "." names something from any working folder, yet only absolute paths count.
  const std::string out = a + "\nrelative.txt\n.\n\n" + temp.path() + "/missing\r\n" + a + "\r\n" +
                          std::string("/x\0y", 4) + "\n";
  EXPECT_EQ(UISystemPickerParseOutput(out, UISystemPickerMode::Import),
            (std::vector<std::string>{a, a}));
  EXPECT_EQ(UISystemPickerParseOutput(temp.path() + "/new.txt\n" + temp.path() +
                                          "/nofolder/x.txt\n" + temp.path() + "/..\n",
                                      UISystemPickerMode::Export),
            std::vector<std::string>{temp.path() + "/new.txt"});
}

// Runs the command provider with `script` as the picker program.
std::optional<UISystemPickerAnswer> runProgram(const TempFolder& temp, const std::string& script,
                                               UISystemPickerCancel* cancel = nullptr) {
  const std::string program = temp.writeFile("picker.sh", "#!/bin/sh\n" + script);
  ::chmod(program.c_str(), 0755);
  ::setenv("QX_PICKER_COMMAND", program.c_str(), 1);
  auto answer = std::make_shared<std::optional<UISystemPickerAnswer>>();
  auto provider = UISystemPickerProvider::current();
  EXPECT_TRUE(provider->canPresent());
  auto stop = provider->pick(UISystemPickerRequest{},
                             [answer](UISystemPickerAnswer a) { *answer = std::move(a); });
  if (cancel) {
    *cancel = stop;
    return std::nullopt;
  }
  EXPECT_TRUE(RunMainLoopUntil([&] { return answer->has_value(); }));
  ::unsetenv("QX_PICKER_COMMAND");
  return *answer;
}

TEST_F(SystemPickerTest, TheProgramsStatusAndOutputDecideTheAnswer) {
  TempFolder temp;
  const std::string a = temp.writeFile("a.txt", "a");
  const std::string b = temp.writeFile("b.txt", "b");
  using Kind = UISystemPickerAnswer::Kind;
  auto picked = runProgram(temp, "echo '" + a + "'; echo '" + b + "'; exit 0\n");
  EXPECT_EQ(picked->kind, Kind::Picked);
  EXPECT_EQ(picked->paths, (std::vector<std::string>{a, b}));
  EXPECT_EQ(runProgram(temp, "exit 0\n")->kind, Kind::Cancelled);
  EXPECT_EQ(runProgram(temp, "echo '" + a + "'; exit 1\n")->kind, Kind::Cancelled);
  EXPECT_EQ(runProgram(temp, "echo '" + a + "'; exit 2\n")->kind, Kind::Failed);
  EXPECT_EQ(runProgram(temp, "echo /no/such/file; exit 0\n")->kind, Kind::Failed);
  EXPECT_EQ(runProgram(temp, "kill -9 $$\n")->kind, Kind::Failed);
  // A failure says why in the program's own words: its last line on
  // standard error (blank lines and the ends' blanks aside, cut at 1024
  // bytes, made valid UTF-8); a cancel or a pick carries none.
  struct Case {
    const char* body;
    const char* error;
  };
  const std::string longLine(1100, 'x');
  for (const Case& c :
       std::initializer_list<Case>{{"echo first >&2; printf '  no display \\t\\n\\n' >&2; exit 2\n",
                                    "the picker program exited with status 2: no display"},
                                   {"printf 'cut short' >&2; exit 3\n",
                                    "the picker program exited with status 3: cut short"},
                                   {"printf 'bad \\377 byte\\n' >&2; kill -9 $$\n",
                                    "the picker program ended by signal 9: bad \xEF\xBF\xBD byte"},
                                   {"echo 'no such place' >&2; echo /no/such/file\n",
                                    "the picker program named no usable path: no such place"},
                                   {"exit 4\n", "the picker program exited with status 4"}}) {
    auto failed = runProgram(temp, c.body);
    ASSERT_TRUE(failed) << c.body;
    EXPECT_EQ(failed->kind, Kind::Failed) << c.body;
    EXPECT_EQ(failed->error, c.error) << c.body;
  }
  auto tooLongLine = runProgram(temp, "echo " + longLine + " >&2; exit 2\n");
  EXPECT_EQ(tooLongLine->error,
            "the picker program exited with status 2: " + longLine.substr(0, 1024));
  auto cancelled = runProgram(temp, "echo 'changed my mind' >&2; exit 1\n");
  EXPECT_EQ(cancelled->kind, Kind::Cancelled);
  EXPECT_EQ(cancelled->error, "");
  // A program that cannot be run at all says why too.
  ::setenv("QX_PICKER_COMMAND", (temp.path() + "/no-such-picker").c_str(), 1);
  auto missing = std::make_shared<std::optional<UISystemPickerAnswer>>();
  UISystemPickerProvider::current()->pick(UISystemPickerRequest{},
                                          [missing](UISystemPickerAnswer x) { *missing = x; });
  EXPECT_TRUE(RunMainLoopUntil([&] { return missing->has_value(); }));
  EXPECT_EQ((*missing)->error,
            "cannot run " + temp.path() + "/no-such-picker: No such file or directory");
  // A child the program leaves behind with its output still open does not
  // hold the answer back.
  const std::string childFile = temp.path() + "/child";
  auto early = runProgram(temp, "echo '" + a + "'\nsleep 15 &\necho $! > '" + childFile + "'\n");
  ASSERT_TRUE(early);
  EXPECT_EQ(early->paths, std::vector<std::string>{a});
  pid_t child = 0;
  std::ifstream(childFile) >> child;
  if (child > 0) ::kill(child, SIGTERM);
  // More output than a pipe holds does not stall the program.
  auto many = runProgram(temp, "i=0; while [ $i -lt 5000 ]; do echo '" + a +
                                   "'; i=$((i+1)); done\n");
  EXPECT_EQ(many->paths.size(), 5000u);
  // The arguments reach the program one by one.
  auto args = runProgram(temp, "for x in \"$@\"; do echo \"/$x\"; done > '" + temp.path() +
                                   "/args'; exit 1\n");
  std::ifstream in(temp.path() + "/args");
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "/mode=import");

  ::unsetenv("QX_PICKER_COMMAND");
  EXPECT_FALSE(UISystemPickerProvider::current()->canPresent());
  auto unset = std::make_shared<std::optional<UISystemPickerAnswer>>();
  UISystemPickerProvider::current()->pick(UISystemPickerRequest{},
                                          [unset](UISystemPickerAnswer x) { *unset = x; });
  EXPECT_TRUE(RunMainLoopUntil([&] { return unset->has_value(); }));
  EXPECT_EQ((*unset)->kind, Kind::Failed);
}

TEST_F(SystemPickerTest, ACancelledPickEndsTheProgramAndAnswersNothing) {
  TempFolder temp;
  UISystemPickerCancel cancel;
  const std::string marker = temp.path() + "/still-running";
  const std::string pidFile = temp.path() + "/pid";
  const std::string childFile = temp.path() + "/child";
  runProgram(temp,
             "sleep 30 & echo $! > '" + childFile + "'; echo $$ > '" + pidFile +
                 "'; wait; touch '" + marker + "'\n",
             &cancel);
  ASSERT_TRUE(cancel);
  pid_t pid = 0;
  ASSERT_TRUE(RunMainLoopUntil([&] {
    std::ifstream in(pidFile);
    return static_cast<bool>(in >> pid);
  }));
  cancel();
  cancel();  // a second cancel does nothing
  // The group is ended and reaped: the program never reaches its last line,
  // and no answer comes.
  EXPECT_TRUE(RunMainLoopUntil([&] { return ::kill(pid, 0) != 0; }));
  // The program's own child went with it (ended; nobody may reap it yet).
  pid_t child = 0;
  std::ifstream(childFile) >> child;
  ASSERT_GT(child, 0);
  const bool childEnded = RunMainLoopUntil([&] {
    std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
    std::string line;
    std::getline(stat, line);
    return line.empty() || line.substr(line.rfind(')') + 2, 1) == "Z";
  });
  EXPECT_TRUE(childEnded);
  if (!childEnded) ::kill(child, SIGKILL);
  ::unsetenv("QX_PICKER_COMMAND");
  struct stat st;
  EXPECT_NE(::stat(marker.c_str(), &st), 0);
}

// Output up to the limit is read whole; one byte more fails the pick and
// ends the program, however much more it would have written.
TEST_F(SystemPickerTest, OutputOverTheLimitFailsThePickAndEndsTheProgram) {
  TempFolder temp;
  const std::string a = temp.writeFile("a.txt", "a");
  const size_t padding = UISystemPickerMaxOutputBytes - (a.size() + 1);
  const std::string pidFile = temp.path() + "/pid";
  struct Case {
    size_t newlines;    // after the path line
    const char* after;  // what the program does once written
    bool picked;
  };
  for (const Case& c : {Case{padding, "", true}, Case{padding + 1, "", false},
                        Case{size_t{64} << 20, "exec sleep 30", false}}) {
    ::unlink(pidFile.c_str());
    auto answer = runProgram(temp, "echo $$ > '" + pidFile + "'\nprintf '%s\\n' '" + a +
                                       "'\nhead -c " + std::to_string(c.newlines) +
                                       " /dev/zero | tr '\\0' '\\n'\n" + c.after + "\n");
    ASSERT_TRUE(answer) << c.newlines;
    if (c.picked) {
      EXPECT_EQ(answer->kind, UISystemPickerAnswer::Kind::Picked);
      EXPECT_EQ(answer->paths, std::vector<std::string>{a});
      continue;
    }
    EXPECT_EQ(answer->kind, UISystemPickerAnswer::Kind::Failed) << c.newlines;
    EXPECT_NE(answer->error.find(std::to_string(UISystemPickerMaxOutputBytes)), std::string::npos)
        << answer->error;
    pid_t pid = 0;
    std::ifstream(pidFile) >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(RunMainLoopUntil([&] { return ::kill(pid, 0) != 0; })) << "still running";
  }
}

// What a picker may hand over: regular files (links count as what they
// name), folders only when asked for; an export may also name a new file.
TEST_F(SystemPickerTest, OnlyRegularFilesAndAskedForFoldersAreHandedOver) {
  TempFolder temp;
  const std::string file = temp.writeFile("f.txt", "x");
  const std::string folder = temp.makeFolder("d");
  const std::string fifo = temp.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string link = temp.path() + "/link";
  ASSERT_EQ(::symlink("f.txt", link.c_str()), 0);
  const std::string fifoLink = temp.path() + "/fifo-link";
  ASSERT_EQ(::symlink("fifo", fifoLink.c_str()), 0);
  UISystemPickerRequest files, folders, save;
  folders.mode = UISystemPickerMode::Open;
  folders.types = {"public.folder"};
  save.mode = UISystemPickerMode::Export;
  struct Case {
    std::string path;
    const UISystemPickerRequest* request;
    bool handedOver;
  };
  const std::vector<Case> cases{
      {file, &files, true},
      {link, &files, true},
      {folder, &files, false},
      {folder, &folders, true},
      {fifo, &files, false},
      {fifoLink, &files, false},
      {fifo, &folders, false},
      {"/dev/zero", &files, false},
      {temp.path() + "/none", &files, false},
      {temp.path() + "/new.txt", &save, true},
      {file, &save, true},
      {fifo, &save, false},
      {folder, &save, false},
  };
  for (const auto& c : cases) {
    auto refusal = UISystemPickerItemRefusal(c.path, *c.request);
    EXPECT_EQ(!refusal, c.handedOver) << c.path << " in mode " << int(c.request->mode);
    if (refusal) {
      EXPECT_NE(refusal->find(c.path), std::string::npos) << *refusal;
    }
  }
}

// A provider whose disk has `room` bytes left.
class RoomyProvider : public ScriptedPickerProvider {
 public:
  std::optional<uint64_t> room;
  std::optional<uint64_t> availableBytes(const std::string&) override { return room; }
};

// Copies fit when they need no more than the free space, counting regular
// files (inside folders too) and never what a folder's links name.
TEST_F(SystemPickerTest, CopiesMustFitTheFreeSpace) {
  TempFolder temp;
  const std::string three = temp.writeFile("three", "abc");
  const std::string folder = temp.makeFolder("folder");
  temp.writeFile("folder/four", "abcd");
  temp.writeFile("big", std::string(100, 'x'));
  ASSERT_EQ(::symlink("../big", (folder + "/link").c_str()), 0);
  auto provider = std::make_shared<RoomyProvider>();
  UISystemPickerProvider::setCurrent(provider);
  struct Case {
    std::optional<uint64_t> room;
    bool fits;
  };
  for (const Case& c : {Case{7, true}, Case{6, false}, Case{0, false}, Case{std::nullopt, true}}) {
    provider->room = c.room;
    auto refusal = UISystemPickerCopiesRefusal({three, folder}, temp.path());
    EXPECT_EQ(!refusal, c.fits) << (c.room ? *c.room : -1);
    if (refusal) {
      EXPECT_NE(refusal->find("7 bytes"), std::string::npos) << *refusal;
      EXPECT_NE(refusal->find("(" + std::to_string(*c.room) + " bytes)"), std::string::npos);
    }
  }
  UISystemPickerProvider::setCurrent(nullptr);
}

class SheetDelegate : public UIAdaptivePresentationControllerDelegate {
 public:
  int dismissed = 0;
  void presentationControllerDidDismiss(UIPresentationController&) override { ++dismissed; }
};

// The picker's sheet goes when dragged down a quarter of its height or
// flicked down; a shorter, slower drag lets it settle back and the pick goes
// on. A sheet that goes cancels its pick.
TEST_F(SystemPickerTest, ASheetDraggedDownFarOrFastEnoughGoes) {
  auto provider = ScriptedPickerProvider::install();
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  window->setRootViewController(std::make_shared<UIViewController>());
  window->makeKeyAndVisible();
  auto delegate = std::make_shared<SheetDelegate>();
  UITouchDriver hand(window);
  struct Case {
    double shareOfHeight;  // of kDismissShare
    double extra;          // points beyond that
    double seconds;
    bool goes;
  };
  // Drags of about 200 points over a second are slow (200 pt/s); 60 points
  // in 3 frames are a flick (1200 pt/s), 40 points in a second are not.
  const Case cases[] = {
      {1, -1, 1, false}, {1, 0, 1, true}, {0, 60, 0.05, true}, {0, 40, 1, false}, {1, 0, 1, true}};
  int cancelled = 0, dismissed = 0;
  for (const auto& c : cases) {
    auto root = window->rootViewController();
    if (!root->presentedViewController()) {
      auto picker = UIDocumentPickerViewController::initWithDocumentTypes(
          {"public.item"}, UIDocumentPickerMode::Import);
      root->presentViewController(picker, true);
      picker->presentationController()->setDelegate(delegate);
      advance(1);
      ASSERT_EQ(provider->waiting(), 1u);
    }
    auto sheet = root->presentedViewController()->view();
    const double top = sheet->frame().origin.y + 100;
    const double down = sheet->bounds().size.height * UISystemPickerViewController::kDismissShare *
                            c.shareOfHeight +
                        c.extra;
    hand.drag({{195, top}, {195, top + down}}, c.seconds);
    advance(1);
    cancelled += c.goes;
    dismissed += c.goes;
    EXPECT_EQ(provider->cancelled(), cancelled) << down << " points in " << c.seconds << " s";
    EXPECT_EQ(delegate->dismissed, dismissed);
    EXPECT_EQ(root->presentedViewController() == nullptr, c.goes);
    if (!c.goes) {
      EXPECT_TRUE(CGAffineTransformIsIdentity(sheet->transform()));
    }
  }
}

class PickRecorder : public UIDocumentPickerDelegate {
 public:
  int picks = 0;
  void documentPickerDidPickDocumentsAtURLs(UIDocumentPickerViewController&,
                                            const std::vector<NSURLPtr>&) override {
    ++picks;
  }
};

// A picker dismissed while its copies are being made hands nothing over
// and leaves no copy behind.
TEST_F(SystemPickerTest, APickerDismissedWhileCopyingHandsNothingOver) {
  TempFolder temp;
  ScriptedLocations::installed().setContainerRoot(temp.makeFolder("container"));
  const std::string file = temp.writeFile("user/a.txt", "a");
  auto provider = ScriptedPickerProvider::install();
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  window->setRootViewController(std::make_shared<UIViewController>());
  window->makeKeyAndVisible();
  auto picker = UIDocumentPickerViewController::initWithDocumentTypes({"public.item"},
                                                                      UIDocumentPickerMode::Import);
  auto recorder = std::make_shared<PickRecorder>();
  picker->setDelegate(recorder);
  window->rootViewController()->presentViewController(picker, true);
  advance(1);
  ASSERT_FALSE(NSRunLoop::mainRunLoop().hasPendingTasks());
  ASSERT_TRUE(provider->answer(UISystemPickerAnswer::picked({file})));
  // Only the answer's own task runs, which starts the copy off the main
  // thread. Draining the main loop here would also run the copy's end if the
  // copy beat the drain, handing the file over before the dismissal below.
  ASSERT_TRUE(NSRunLoop::mainRunLoop().runOnce(0));
  ASSERT_TRUE(picker->presentationController()->dismissByUser());
  advance(1);
  // Whatever the copy's end sent to the main thread has run.
  EXPECT_TRUE(RunMainLoopUntil(
      [] { return DispatchWorkersIdle() && !NSRunLoop::mainRunLoop().hasPendingTasks(); }));
  EXPECT_EQ(recorder->picks, 0);
  EXPECT_EQ(NSFileManager::defaultManager()->contentsOfDirectoryAtPath(NSTemporaryDirectory()),
            std::vector<std::string>{});
  ScriptedLocations::installed().setContainerRoot("");
}

}  // namespace

}  // namespace system_picker_test

// The system picker provider that runs QX_PICKER_COMMAND: what it passes to
// the program and how it reads the program's answer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "platform/uikit/UISystemPicker.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

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
  runProgram(temp, "echo $$ > '" + pidFile + "'; sleep 30 & wait; touch '" + marker + "'\n",
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
  ::unsetenv("QX_PICKER_COMMAND");
  struct stat st;
  EXPECT_NE(::stat(marker.c_str(), &st), 0);
}

}  // namespace

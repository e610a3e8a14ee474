// The start-up check of the settings: one line for each value the host
// cannot use as given, naming it and what happens instead; none for good
// values. The running host writes the lines and goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <regex>

#include "HostSession.h"
#include "host/HostSettings.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSApplicationLocations.h"
#include "platform/foundation/ProcessReaper.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

extern char** environ;

namespace host_settings_test {

namespace {

using HostSettings = PlatformTest;

std::vector<std::string> problemsOf(const std::map<std::string, std::string>& environment) {
  return HostSettingsProblems([&](const std::string& name) -> std::optional<std::string> {
    auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
  });
}

TEST_F(HostSettings, EachValueTheHostCannotUseGetsOneLine) {
  TempFolder scratch;
  const std::string file = scratch.path() + "/file";
  std::ofstream(file) << "x";
  const std::string app = scratch.makeFolder("Runner.app");
  for (const char* bundle :
       {"AKCameraResource.bundle", "AKImagePickerController_AKImagePickerController.bundle",
        "AKPhotoGallery_AKPhotoGallery.bundle",
        "CRCropViewController_CRCropViewController.bundle"}) {
    scratch.makeFolder(std::string("Runner.app/") + bundle);
  }
  const std::string fallbackBundle = NSDeployedLocations::defaultMainBundlePath();
  struct Case {
    std::string name, value;
    std::string line;  // empty: the value is fine
  };
  const std::string photo =
      " is not one of authorized, denied, limited, restricted, notDetermined; ";
  const std::string camera = " is not one of authorized, denied, restricted, notDetermined; ";
  const std::string location =
      " is not latitude,longitude[,altitude[,accuracy]] in degrees and metres (like "
      "48.8583,2.2945,35,5): the device has no position fix";
  const std::string version = " is not a version like 13.7 or 14.0.1; using 17.0.0";
  const std::string exitWait = " is not a number of seconds from 0 to 3600; using 30";
  const std::string renderLimits =
      " is not <CPU seconds>,<MiB>,<seconds>, each above 0 and at most 10,1024,20; using "
      "10,1024,20";
  const std::string home =
      "; using " + NSDeployedLocations::defaultContainerRoot() +
      ": set it to the absolute path of a folder the host can make or write in";
  const Case cases[] = {
      {"QX_PHOTO_AUTHORIZATION", "limited", ""},
      {"QX_PHOTO_AUTHORIZATION", "bogus", "bogus" + photo + "using authorized"},
      {"QX_PHOTO_AUTHORIZATION", "Authorized", "Authorized" + photo + "using authorized"},
      {"QX_PHOTO_AUTHORIZATION", "", ""},
      {"QX_PHOTO_AUTHORIZATION_PROMPT", "notDetermined", ""},
      {"QX_PHOTO_AUTHORIZATION_PROMPT", "yes", "yes" + photo + "using authorized"},
      {"QX_CAMERA_AUTHORIZATION", "restricted", ""},
      {"QX_CAMERA_AUTHORIZATION", "limited", "limited" + camera + "using authorized"},
      {"QX_CAMERA_AUTHORIZATION_PROMPT", "no", "no" + camera + "using authorized"},
      {"QX_LOCATION_AUTHORIZATION", "authorizedWhenInUse", ""},
      {"QX_LOCATION_AUTHORIZATION", "always",
       "always is not one of authorizedWhenInUse, authorizedAlways, denied, restricted, "
       "notDetermined; using authorizedWhenInUse"},
      {"QX_LOCATION", "48.8583,2.2945", ""},
      {"QX_LOCATION", "48.8583,2.2945,35,5", ""},
      {"QX_LOCATION", "90,180", ""},
      {"QX_LOCATION", "90.0001,0", "90.0001,0" + location},
      {"QX_LOCATION", "1", "1" + location},
      {"QX_LOCATION", "1,2,3,4,5", "1,2,3,4,5" + location},
      {"QX_LOCATION", "48.8,2.29x", "48.8,2.29x" + location},
      {"QX_LOCATION", "48.8,,2", "48.8,,2" + location},
      {"QX_SYSTEM_VERSION", "13.7", ""},
      {"QX_SYSTEM_VERSION", "14.0.1", ""},
      {"QX_SYSTEM_VERSION", "abc", "abc" + version},
      {"QX_SYSTEM_VERSION", "14.0.1.2", "14.0.1.2" + version},
      {"QX_SYSTEM_VERSION", "14.", "14." + version},
      {"QX_EXIT_WAIT", "0", ""},
      {"QX_EXIT_WAIT", "2.5", ""},
      {"QX_EXIT_WAIT", "3600", ""},
      {"QX_EXIT_WAIT", "3600.5", "3600.5" + exitWait},
      {"QX_EXIT_WAIT", "-1", "-1" + exitWait},
      {"QX_EXIT_WAIT", "1e3", "1e3" + exitWait},
      {"QX_EXIT_WAIT", "5s", "5s" + exitWait},
      {"QX_EXIT_WAIT", ".", "." + exitWait},
      {"QX_PDF_RENDER_LIMITS", "10,1024,20", ""},
      {"QX_PDF_RENDER_LIMITS", "0.5,64,1", ""},
      {"QX_PDF_RENDER_LIMITS", "10.5,1024,20", "10.5,1024,20" + renderLimits},
      {"QX_PDF_RENDER_LIMITS", "10,1025,20", "10,1025,20" + renderLimits},
      {"QX_PDF_RENDER_LIMITS", "10,1024,20.5", "10,1024,20.5" + renderLimits},
      {"QX_PDF_RENDER_LIMITS", "0,1024,20", "0,1024,20" + renderLimits},
      {"QX_PDF_RENDER_LIMITS", "1,2", "1,2" + renderLimits},
      {"QX_PDF_RENDER_LIMITS", "1,2,3,", "1,2,3," + renderLimits},
      {"QX_PDF_RENDER_LIMITS", "1, 2,3", "1, 2,3" + renderLimits},
      {"QX_MAIN_BUNDLE", scratch.path() + "/none",
       scratch.path() + "/none is no folder; using " + fallbackBundle},
      {"QX_MAIN_BUNDLE", app,
       app + " holds no python_bridge_darwin_python_bridge_darwin.bundle; using " + fallbackBundle +
           ": set it to an application folder that holds them"},
      {"QX_APP_HOME", scratch.path() + "/new", ""},
      {"QX_APP_HOME", "relative/home", "relative/home is not an absolute path" + home},
      // Nothing is a value here (not unset): everything would be kept
      // elsewhere than where it was asked to be.
      {"QX_APP_HOME", "", " is not an absolute path" + home},
      {"QX_APP_HOME", scratch.path() + "/caf\xE9",
       scratch.path() + "/caf\xE9 is not valid UTF-8" + home},
      {"QX_APP_HOME", scratch.path() + "/caf\xC3\xA9", ""},
      {"QX_MAIN_BUNDLE", "", ""},
      {"QX_APP_HOME", file, file + " is not a folder" + home},
      {"QX_APP_HOME", file + "/home",
       file + "/home cannot be made: " + file + " is not a folder" + home},
      {"QX_PHOTO_LIBRARY", scratch.path(), ""},
      {"QX_PHOTO_LIBRARY", scratch.path() + "/none",
       scratch.path() + "/none is no folder: the photo library is empty; set it to an existing "
                        "folder"},
      {"QX_MUSIC_LIBRARY", file,
       file + " is not a folder: the music library cannot be read; set it to a folder"},
      {"QX_CAMERA_SOURCE", file, ""},
      {"QX_FRONT_CAMERA_SOURCE", "/dev/no-such-video",
       "/dev/no-such-video names no file or device: that camera fails to start; set it to a "
       "video device, a video or an image"},
  };
  for (const Case& c : cases) {
    if (c.name == "QX_EXIT_WAIT") {
      // What the host then waits: the value, or 30 when it cannot use it.
      const double wait = HostExitWaitSeconds([&](const std::string& name) {
        return name == c.name ? std::optional<std::string>(c.value) : std::nullopt;
      });
      EXPECT_EQ(wait, c.line.empty() ? std::stod(c.value) : 30.0) << c.value;
    }
    auto lines = problemsOf({{c.name, c.value}});
    if (c.line.empty()) {
      EXPECT_TRUE(lines.empty()) << c.name << "=" << c.value << ": " << lines.front();
    } else {
      EXPECT_EQ(lines, std::vector<std::string>{"host: setting " + c.name + "=" + c.line});
    }
  }
  EXPECT_EQ(HostExitWaitSeconds([](const std::string&) { return std::nullopt; }), 30.0);
  // Every setting is looked at, each bad one once, in the table's order.
  auto lines = problemsOf({{"QX_SYSTEM_VERSION", "x"}, {"QX_PHOTO_AUTHORIZATION", "x"}});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("host: setting QX_PHOTO_AUTHORIZATION=x", 0), 0u);
  EXPECT_EQ(lines[1].rfind("host: setting QX_SYSTEM_VERSION=x", 0), 0u);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct HostExit {
  int status = -1;
  std::string out, err;
};

// The built host run with these arguments and no input, as far as its exit.
HostExit runHost(const std::string& argument, const TempFolder& scratch) {
  const std::string out = scratch.path() + "/out", err = scratch.path() + "/err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string program = QX_HOST_BINARY, arg = argument;
  char* argv[] = {program.data(), arg.data(), nullptr};
  pid_t pid = 0;
  HostExit run;
  const bool spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (!spawned) return run;
  auto exit = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto status = std::make_shared<int>(-1);
  ProcessReaper::watch(pid, dispatch_get_global_queue(DispatchQoS::Utility), [exit, status](int s) {
    std::lock_guard<std::mutex> lock(exit->first);
    *status = s;
    exit->second.notify_all();
  });
  std::unique_lock<std::mutex> lock(exit->first);
  exit->second.wait_for(lock, std::chrono::duration<double>(3 * kTestTimeoutSeconds),
                        [&] { return *status >= 0; });
  run.status = *status;
  run.out = readFile(out);
  run.err = readFile(err);
  return run;
}

// The setting names of README's settings table, in its order.
std::vector<std::string> readmeSettings() {
  const std::string readme = readFile(std::string(QX_SOURCE_ROOT) + "/README.md");
  const std::string table = readme.substr(readme.find("## Settings"));
  static const std::regex kRow("\\n\\| `(QX_[A-Z_]+)` \\|");
  std::vector<std::string> names;
  for (std::sregex_iterator it(table.begin(), table.end(), kRow), end; it != end; ++it) {
    names.push_back((*it)[1]);
  }
  return names;
}

// Help goes to standard output and succeeds; anything else is refused on
// standard error with the same usage, before anything starts.
TEST_F(HostSettings, HelpPrintsTheUsageAndAnUnknownArgumentIsRefused) {
  const auto settings = readmeSettings();
  ASSERT_EQ(settings.size(), 17u) << "README's settings table";
  struct Case {
    const char* argument;
    int status;
    bool usageOnStdout;
  };
  const Case cases[] = {{"--help", 0, true}, {"-h", 0, true},    {"--bogus", 2, false},
                        {"-x", 2, false},    {"help", 2, false}, {"--help=1", 2, false}};
  for (const Case& c : cases) {
    TempFolder scratch;
    const HostExit run = runHost(c.argument, scratch);
    ASSERT_TRUE(WIFEXITED(run.status)) << c.argument << ": " << run.status;
    EXPECT_EQ(WEXITSTATUS(run.status), c.status) << c.argument;
    const std::string& usage = c.usageOnStdout ? run.out : run.err;
    EXPECT_EQ(c.usageOnStdout ? run.err : run.out, "") << c.argument;
    EXPECT_EQ(usage.rfind(c.usageOnStdout ? "usage: host"
                                          : "host: unknown argument '" + std::string(c.argument) +
                                                "'\n\nusage: host",
                          0),
              0u)
        << c.argument << ": " << usage;
    for (const char* command : {"bash tools/run-host", "bash tools/run-tests"}) {
      EXPECT_NE(usage.find(command), std::string::npos) << c.argument << ": " << command;
    }
    for (const std::string& name : settings) {
      EXPECT_NE(usage.find("  " + name + " "), std::string::npos) << c.argument << ": " << name;
    }
  }
}

// The running host with settings it cannot use: a line for each at start-up,
// the defaults in their place, and every call answered.
TEST_F(HostSettings, TheRunningHostSaysWhichSettingsItCannotUseAndGoesOn) {
  TempFolder scratch;
  const std::string errors = scratch.path() + "/host.err";
  const std::string emptyApp = scratch.makeFolder("Empty.app");
  for (const std::string& bundle : {scratch.path() + "/none", emptyApp}) {
    HostSession host({"QX_APP_HOME=" + scratch.makeFolder("home"), "QX_MAIN_BUNDLE=" + bundle,
                      "QX_PHOTO_AUTHORIZATION=bogus", "QX_SYSTEM_VERSION=abc"},
                     errors);
    ASSERT_TRUE(host.started());
    host.send(R"({"id":1,"channel":"python_bridge","method":"getResourcePath"})");
    auto path = host.reply(1, 3 * kTestTimeoutSeconds);
    ASSERT_TRUE(path && path->find("result")) << (path ? path->description() : "no reply");
    const std::string binary = QX_HOST_BINARY;
    EXPECT_EQ(path->find("result")->asString(),
              binary.substr(0, binary.rfind('/')) +
                  "/Runner.app/python_bridge_darwin_python_bridge_darwin.bundle")
        << "the default application folder stands in";
    host.send(R"({"id":2,"channel":"dev.tarnquell.plugins/device_info","method":"getDeviceInfo"})");
    auto info = host.reply(2, 3 * kTestTimeoutSeconds);
    ASSERT_TRUE(info && info->find("result"));
    EXPECT_EQ(*info->find("result")->find("systemVersion"), Value("17.0"));
    const int status = host.finish(3 * kTestTimeoutSeconds);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream in(errors);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    for (const std::string& line : {"host: setting QX_MAIN_BUNDLE=" + bundle,
                                    std::string("host: setting QX_PHOTO_AUTHORIZATION=bogus"),
                                    std::string("host: setting QX_SYSTEM_VERSION=abc")}) {
      EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    }
  }
}

// The working folder of the process for the scope: a host started in it
// inherits it.
class WorkingFolder {
 public:
  explicit WorkingFolder(const std::string& path) : before_(::getcwd(nullptr, 0)) {
    changed_ = ::chdir(path.c_str()) == 0;
  }
  ~WorkingFolder() {
    if (before_) (void)!::chdir(before_);
    std::free(before_);
  }
  bool changed() const { return changed_; }

 private:
  char* before_;
  bool changed_ = false;
};

// A container the host cannot use: it says so at start-up and keeps
// everything (preferences, the vendor identifier, the copies a pick answers
// with, the bytes a save writes) in the default container, nothing where the
// value points, also where it is relative to the working folder. A folder
// the user the host runs as may not write in is such a value, and so are
// nothing and a path no reply could name.
TEST_F(HostSettings, AContainerTheHostCannotUseGivesWayToTheDefault) {
  TempFolder scratch;
  // The host run as "nobody" reaches every folder of the test but the
  // container it is given, which only root may write in.
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
  const std::string file = scratch.path() + "/file";
  std::ofstream(file) << "a file";
  const std::string locked = scratch.makeFolder("locked");
  ASSERT_EQ(::chmod(locked.c_str(), 0755), 0);
  const std::string latin = scratch.path() + "/caf\xE9";
  // What the picker hands over: a document of the user's, and where to save.
  const std::string picked = scratch.path() + "/picked.txt";
  std::ofstream(picked) << "picked";
  const std::string saves = scratch.makeFolder("saves");
  ASSERT_EQ(::chmod(saves.c_str(), 0777), 0);
  const std::string picker = scratch.path() + "/pick";
  std::ofstream(picker) << "#!/bin/sh\ncase \" $* \" in *\" mode=export \"*) echo '" << saves
                        << "/out.txt';; *) echo '" << picked << "';; esac\n";
  ASSERT_EQ(::chmod(picker.c_str(), 0755), 0);
  const std::string api = "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.";
  const std::string opts = R"({"$custom":129,"value":[null]})";
  const std::string filePicker = "corvinstead.flutter.plugins.filepicker";
  struct Case {
    std::string home, problem;
    bool xdg;  // the default under XDG_DATA_HOME, else under HOME
    std::optional<uid_t> user = std::nullopt;
  };
  const Case cases[] = {
      {"rel/home", "is not an absolute path", true},
      {"./x", "is not an absolute path", false},
      {"", "is not an absolute path", true},
      {file, "is not a folder", true},
      {file + "/home", "cannot be made: " + file + " is not a folder", false},
      {latin, "is not valid UTF-8", true},
      {latin + "/home", "is not valid UTF-8", false},
      {locked, "is not writable", true, 65534},
      {locked + "/home", "cannot be made: " + locked + " is not writable", false, 65534},
  };
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.home);
    if (c.user && ::geteuid() != 0) continue;  // only root may run the host as another user
    const std::string at = scratch.makeFolder("run" + std::to_string(++run));
    ASSERT_EQ(::chmod(at.c_str(), 0777), 0);
    const std::string work = scratch.makeFolder("run" + std::to_string(run) + "/work");
    ASSERT_EQ(::chmod(work.c_str(), 0777), 0);
    const std::string fallback =
        c.xdg ? at + "/data/quorlinex" : at + "/user/.local/share/quorlinex";
    const std::string errors = at + "/host.err";
    std::optional<HostSession> host;
    {
      WorkingFolder inWork(work);
      ASSERT_TRUE(inWork.changed());
      host.emplace(std::vector<std::string>{"QX_APP_HOME=" + c.home, "HOME=" + at + "/user",
                                            "XDG_DATA_HOME=" + (c.xdg ? at + "/data" : ""),
                                            "QX_PICKER_COMMAND=" + picker},
                   errors, c.user);
    }
    ASSERT_TRUE(host->started());
    host->send(R"({"id":1,"channel":")" + api + R"(set","message":["k","v",)" + opts + "]}");
    host->send(
        R"({"id":2,"channel":"dev.tarnquell.plugins/device_info","method":"getDeviceInfo"})");
    auto set = host->reply(1, 3 * kTestTimeoutSeconds);
    ASSERT_TRUE(set && set->find("reply")) << (set ? set->description() : "no reply");
    EXPECT_EQ(*set->find("reply"), Value::list({Value()}));
    auto info = host->reply(2, 3 * kTestTimeoutSeconds);
    ASSERT_TRUE(info && info->find("result")) << (info ? info->description() : "no reply");
    // A pick answers with a copy in the default container, its bytes read
    // back from there; a save stages its bytes there.
    host->send(R"({"id":3,"channel":")" + filePicker +
               R"(","method":"any","args":{"withData":true}})");
    auto pick = host->reply(3, 3 * kTestTimeoutSeconds);
    const Value* files = pick ? pick->find("result") : nullptr;
    ASSERT_TRUE(files && files->isList() && files->size() == 1)
        << (pick ? pick->description() : "no reply");
    const std::string copy = files->asList()[0].find("path")->asString();
    EXPECT_EQ(copy.rfind(fallback + "/", 0), 0u) << copy;
    EXPECT_EQ(readFile(copy), "picked");
    const Value* bytes = files->asList()[0].find("bytes");
    ASSERT_TRUE(bytes && bytes->find("$bytes")) << files->description();
    EXPECT_EQ(bytes->find("$bytes")->asString(), "cGlja2Vk");  // "picked"
    host->send(R"({"id":4,"channel":")" + filePicker +
               R"(","method":"save","args":{"fileName":"out.txt","bytes":{"$bytes":"c2F2ZWQ="}}})");
    auto save = host->reply(4, 3 * kTestTimeoutSeconds);
    ASSERT_TRUE(save && save->find("result")) << (save ? save->description() : "no reply");
    EXPECT_EQ(*save->find("result"), Value(saves + "/out.txt"));
    EXPECT_EQ(readFile(saves + "/out.txt"), "saved");
    const int status = host->finish(3 * kTestTimeoutSeconds);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> written;
    for (const auto& entry :
         std::filesystem::directory_iterator(fallback + "/Library/Preferences")) {
      written.push_back(readFile(entry.path()));
    }
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find(R"("k")"), std::string::npos) << written[0];
    EXPECT_EQ(readFile(fallback + "/Library/.identifierForVendor"),
              info->find("result")->find("identifierForVendor")->asString() + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(work)) << "nothing under the working folder";
    EXPECT_EQ(readFile(file), "a file");
    EXPECT_FALSE(std::filesystem::exists(latin));
    EXPECT_TRUE(std::filesystem::is_empty(locked));
    EXPECT_NE(readFile(errors).find("host: setting QX_APP_HOME=" + c.home + " " + c.problem +
                                    "; using " + fallback + ": set it"),
              std::string::npos)
        << readFile(errors);
  }
}

}  // namespace

}  // namespace host_settings_test

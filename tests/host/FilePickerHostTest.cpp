// The file picker end to end: the built host driven through its JSON lines,
// with a scripted picker program and a scratch photo library, every reply
// checked against the files on disk.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>

#include "HostSession.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSURL.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/photos/MediaFixtures.h"

extern char** environ;

namespace file_picker_host_test {

namespace {

constexpr double kWait = 3 * kTestTimeoutSeconds;
const std::string kChannel = "corvinstead.flutter.plugins.filepicker";
const std::string kEvents = "corvinstead.flutter.plugins.filepickerevent";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string call(int id, const std::string& method, const std::string& args = "null") {
  return R"({"id":)" + std::to_string(id) + R"(,"channel":")" + kChannel + R"(","method":")" +
         method + R"(","args":)" + args + "}";
}

// The scripted picker: the n-th run records its arguments in args.<n> and
// runs answer.<n>, which the test writes before the request.
class PickerScript {
 public:
  explicit PickerScript(const TempFolder& scratch) : dir_(scratch.makeFolder("picker")) {
    writeFile(dir_ + "/pick", "#!/bin/sh\n"
                              "d='" + dir_ + "'\n"
                              "n=$(( $(cat \"$d/count\" 2>/dev/null || echo 0) + 1 ))\n"
                              "echo $n > \"$d/count\"\n"
                              "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$d/args.$n\"\n"
                              "exec sh \"$d/answer.$n\"\n");
    ::chmod((dir_ + "/pick").c_str(), 0755);
  }
  std::string command() const { return dir_ + "/pick"; }
  // The next run prints these paths and exits with `status`.
  void answer(const std::vector<std::string>& paths, int status = 0) {
    std::string script;
    for (const auto& p : paths) script += "printf '%s\\n' '" + p + "'\n";
    script += "exit " + std::to_string(status) + "\n";
    next(script);
  }
  void next(const std::string& script) { writeFile(dir_ + "/answer." + std::to_string(++written_), script); }
  std::vector<std::string> args(int run) const {
    std::vector<std::string> out;
    std::ifstream in(dir_ + "/args." + std::to_string(run));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  const std::string& dir() const { return dir_; }
  int written() const { return written_; }

 private:
  std::string dir_;
  int written_ = 0;
};

// Checks one reply map against the file it names.
void expectDescribes(const Value& entry, const std::string& contents, const std::string& name,
                     bool withData) {
  ASSERT_TRUE(entry.isMap()) << entry.description();
  const std::string path = entry.find("path")->asString();
  EXPECT_EQ(readFile(path), contents) << path;
  EXPECT_EQ(entry.find("name")->asString(), name);
  EXPECT_EQ(entry.find("size")->asInt64(), static_cast<int64_t>(contents.size()));
  EXPECT_EQ(entry.find("identifier")->asString(), NSURL::fileURLWithPath(path)->absoluteString());
  const Value* bytes = entry.find("bytes");
  if (!withData) {
    EXPECT_EQ(bytes, nullptr);
    return;
  }
  ASSERT_NE(bytes, nullptr);
  auto decoded = Base64Decode(bytes->find("$bytes")->asString());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(std::string(decoded->begin(), decoded->end()), contents);
}

const Value& resultOf(const std::optional<Value>& reply) {
  static const Value kNone;
  const Value* r = reply ? reply->find("result") : nullptr;
  return r ? *r : kNone;
}

std::string errorCodeOf(const std::optional<Value>& reply) {
  const Value* e = reply ? reply->find("error") : nullptr;
  return e ? e->find("code")->asString() : "";
}

// A process the test watches through a pidfd, so a pid used again never
// misleads it; whatever still runs when the test ends is killed.
class Watched {
 public:
  explicit Watched(pid_t pid) : fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  ~Watched() {
    if (fd_ < 0) return;
    ::syscall(SYS_pidfd_send_signal, fd_, SIGKILL, nullptr, 0);
    ::close(fd_);
  }
  Watched(Watched&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  bool valid() const { return fd_ >= 0; }
  // True once the process has ended, waiting at most `seconds` for it.
  bool endsWithin(double seconds) const {
    pollfd p{fd_, POLLIN, 0};
    return fd_ >= 0 && ::poll(&p, 1, static_cast<int>(seconds * 1000)) == 1;
  }

 private:
  int fd_;
};

pid_t readPid(const std::string& path) {
  pid_t pid = 0;
  std::ifstream(path) >> pid;
  return pid;
}

// True while a copy of `name` in an Inbox folder under `tmp` is short of
// `size` bytes.
bool copyUnderWay(const std::string& tmp, const std::string& name, uint64_t size) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(tmp, error)) {
    const auto copy = entry.path() / name;
    if (entry.path().filename().string().rfind("Inbox-", 0) != 0) continue;
    const auto bytes = std::filesystem::file_size(copy, error);
    if (!error && bytes < size) return true;
  }
  return false;
}

const std::string kBattery = "dev.tarnquell.plugins/battery";

// Round trips to the host (another channel) until `done` holds, for at most
// kWait of real time; each reply shows the main thread still serving.
bool untilWhileServing(HostSession& host, int& id, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    host.send(R"({"id":)" + std::to_string(++id) + R"(,"channel":")" + kBattery +
              R"(","method":"getBatteryState"})");
    if (!host.reply(id, kWait)) return false;
  }
  return true;
}

// A picker program that never answers, with a child of its own; it writes
// its pid and its child's to `mark`.pid and `mark`.child. One that ignores
// SIGTERM hands that on to its child; one that does not notes the signal in
// `mark`.term as it ends.
std::string hangingPicker(const std::string& mark, bool ignoresTerm) {
  return (ignoresTerm ? std::string("trap '' TERM\n")
                      : "trap \"touch '" + mark + ".term'; exit 0\" TERM\n") +
         "sleep 300 &\necho $! > '" + mark + ".child'\necho $$ > '" + mark + ".pid'\nwait\n";
}

using FilePickerHost = PlatformTest;

TEST_F(FilePickerHost, DocumentsFoldersAndSavesOverRealFiles) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string container = scratch.makeFolder("container");
  const std::string user = scratch.makeFolder("user");
  writeFile(user + "/a.txt", "alpha");
  writeFile(user + "/one/same.txt", "first");
  writeFile(user + "/two/same.txt", "second");
  writeFile(user + "/notes.txt", "notes");
  HostSession host({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + picker.command()},
                   scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());

  picker.answer({user + "/a.txt"});
  host.send(call(1, "any", R"({"withData":true})"));
  auto any = host.reply(1, kWait);
  ASSERT_EQ(resultOf(any).size(), 1u) << (any ? any->description() : "no reply");
  expectDescribes(resultOf(any).asList()[0], "alpha", "a.txt", true);
  EXPECT_EQ(picker.args(1), (std::vector<std::string>{"mode=import", "multiple=0", "limit=1",
                                                      "type=public.item"}));

  picker.answer({user + "/one/same.txt", user + "/two/same.txt"});
  host.send(call(2, "any", R"({"allowMultipleSelection":true})"));
  auto same = host.reply(2, kWait);
  ASSERT_EQ(resultOf(same).size(), 2u);
  expectDescribes(resultOf(same).asList()[0], "first", "same.txt", false);
  expectDescribes(resultOf(same).asList()[1], "second", "same.txt", false);
  expectDescribes(resultOf(any).asList()[0], "alpha", "a.txt", true);

  picker.answer({user + "/one"});
  host.send(call(3, "dir"));
  EXPECT_EQ(resultOf(host.reply(3, kWait)), Value(user + "/one"));

  picker.answer({user + "/notes.txt"});
  host.send(call(4, "custom", R"({"allowedExtensions":["txt"]})"));
  auto custom = host.reply(4, kWait);
  ASSERT_EQ(resultOf(custom).size(), 1u);
  expectDescribes(resultOf(custom).asList()[0], "notes", "notes.txt", false);
  EXPECT_EQ(picker.args(4)[3], "type=public.plain-text");
  host.send(call(5, "custom", R"({"allowedExtensions":[]})"));
  EXPECT_EQ(errorCodeOf(host.reply(5, kWait)), "Unsupported file extension");

  const std::string saved = user + "/saved/out.txt";
  std::filesystem::create_directories(user + "/saved");
  picker.answer({saved});
  host.send(call(6, "save", R"({"fileName":"out.txt","initialDirectory":")" + user +
                                R"(","bytes":{"$bytes":"c2F2ZWQ="}})"));
  EXPECT_EQ(resultOf(host.reply(6, kWait)), Value(saved));
  EXPECT_EQ(readFile(saved), "saved");
  auto saveArgs = picker.args(5);
  EXPECT_EQ(saveArgs[0], "mode=export");
  EXPECT_NE(std::find(saveArgs.begin(), saveArgs.end(), "start=" + user), saveArgs.end());

  // A name that is not UTF-8 comes back as a copy the reply's path names.
  writeFile(user + "/caf\xE9.txt", "latin");
  picker.answer({user + "/caf\xE9.txt"});
  host.send(call(22, "any"));
  auto latin = host.reply(22, kWait);
  ASSERT_EQ(resultOf(latin).size(), 1u) << (latin ? latin->description() : "no reply");
  expectDescribes(resultOf(latin).asList()[0], "latin", "caf_.txt", false);

  int id = 7;
  for (const std::string& name : {std::string("../x.txt"), std::string("a/b"), std::string(""),
                                  std::string(".."), std::string(4096, 'n'),
                                  std::string("nul\\u0000.txt")}) {
    host.send(call(id, "save", R"({"fileName":")" + name + R"(","bytes":{"$bytes":"AA=="}})"));
    EXPECT_EQ(errorCodeOf(host.reply(id, kWait)), "Failed to write file") << name;
    ++id;
  }
  EXPECT_FALSE(std::filesystem::exists(container + "/Documents/../x.txt"));

  // Programs that fail: a status, a path that is not there, a signal.
  picker.answer({}, 3);
  picker.answer({user + "/missing.txt"});
  picker.next("kill -9 $$\n");
  for (int i = 0; i < 3; ++i, ++id) {
    host.send(call(id, "any"));
    EXPECT_EQ(errorCodeOf(host.reply(id, kWait)), "file_picker_error") << i;
  }
  // A program that hangs: the request waits, a second is refused, the
  // screen shows the picker, and the first is answered once it gives up.
  picker.next("while [ ! -e '" + picker.dir() + "/release' ]; do sleep 0.02; done\nexit 1\n");
  host.send(call(100, "any"));
  host.send(call(101, "image"));
  EXPECT_EQ(errorCodeOf(host.reply(101, kWait)), "multiple_request");
  host.send(R"({"id":102,"viewTree":null})");
  auto tree = host.reply(102, kWait);
  ASSERT_TRUE(tree);
  EXPECT_NE(tree->description().find("UIDocumentPickerViewController"), std::string::npos);
  host.send(R"({"id":103,"snapshot":")" + scratch.path() + R"(/screen.png"})");
  auto shot = host.reply(103, kWait);
  EXPECT_EQ(resultOf(shot).find("width")->asInt64(), 1170);
  EXPECT_EQ(readFile(scratch.path() + "/screen.png").substr(1, 3), "PNG");
  host.send(R"({"id":104,"touch":{"kind":"drag","path":[[10,10],[20,300]],"duration":0.1}})");
  EXPECT_TRUE(resultOf(host.reply(104, kWait)).isNull());
  writeFile(picker.dir() + "/release", "");
  EXPECT_TRUE(resultOf(host.reply(100, kWait)).isNull());
  EXPECT_FALSE(host.reply(100, 0)->find("error"));

  EXPECT_EQ(readFile(user + "/a.txt"), "alpha") << "the user's files stay";
  EXPECT_EQ(readFile(user + "/one/same.txt"), "first");
  const int status = host.finish(kWait);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(FilePickerHost, PhotosWithProgressMusicExportAndTheOlderRoad) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string container = scratch.makeFolder("container");
  const std::string library = scratch.makeFolder("library");
  const std::string music = scratch.makeFolder("music");
  ASSERT_TRUE(WriteFixtureImage(library + "/a.jpg", "public.jpeg", 32, 24));
  ASSERT_TRUE(WriteFixtureImage(library + "/b.png", "public.png", 16, 16));
  ASSERT_TRUE(WriteFixtureVideo(library + "/c.mp4", 32, 32, 5));
  ASSERT_TRUE(WriteFixtureTone(music + "/song.wav", 0.4, std::string("Night/Day")));
  for (const char* version : {"17.0", "13.7"}) {
    HostSession host({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + picker.command(),
                      "QX_PHOTO_LIBRARY=" + library, "QX_MUSIC_LIBRARY=" + music,
                      "QX_SYSTEM_VERSION=" + std::string(version)},
                     scratch.path() + "/host.err");
    ASSERT_TRUE(host.started());
    host.send(R"({"id":1,"channel":")" + kEvents + R"(","listen":null})");
    ASSERT_TRUE(host.reply(1, kWait));
    if (std::string(version) == "13.7") {
      picker.answer({library + "/c.mp4"});
      host.send(call(3, "video"));
      auto video = host.reply(3, kWait);
      ASSERT_EQ(resultOf(video).size(), 1u);
      expectDescribes(resultOf(video).asList()[0], readFile(library + "/c.mp4"), "c.mp4", false);
      EXPECT_EQ(picker.args(picker.written())[0], "mode=image");
      EXPECT_EQ(host.finish(kWait), 0);
      continue;
    }
    picker.answer({library + "/a.jpg", library + "/b.png", library + "/c.mp4"});
    host.send(call(2, "media", R"({"allowMultipleSelection":true,"withData":true})"));
    auto photos = host.reply(2, kWait);
    ASSERT_EQ(resultOf(photos).size(), 3u) << (photos ? photos->description() : "none");
    std::multiset<std::string> got, want;
    for (const Value& entry : resultOf(photos).asList()) {
      const std::string path = entry.find("path")->asString();
      EXPECT_EQ(path.find(container + "/Documents/picked_images/image_"), 0u) << path;
      got.insert(readFile(path));
      expectDescribes(entry, readFile(path), path.substr(path.find_last_of('/') + 1), true);
    }
    for (const char* f : {"/a.jpg", "/b.png", "/c.mp4"}) want.insert(readFile(library + f));
    EXPECT_EQ(got, want);
    auto args = picker.args(picker.written());
    EXPECT_EQ(args[0], "mode=photo");
    EXPECT_NE(std::find(args.begin(), args.end(), "start=" + library), args.end());

    picker.answer({music + "/song.wav"});
    host.send(call(3, "audio"));
    auto audio = host.reply(3, kWait);
    ASSERT_EQ(resultOf(audio).size(), 1u);
    const std::string m4a = resultOf(audio).asList()[0].find("path")->asString();
    EXPECT_EQ(m4a.substr(m4a.find_last_of('/') + 1, 10), "Night_Day-");
    EXPECT_EQ(FixtureAudioCodec(m4a), "aac");
    expectDescribes(resultOf(audio).asList()[0], readFile(m4a),
                    m4a.substr(m4a.find_last_of('/') + 1), false);
    EXPECT_EQ(host.finish(kWait), 0);
    // Events in order: photos (start, three counts, end), then music.
    std::vector<Value> expected{Value(true)};
    for (int n = 1; n <= 3; ++n) {
      expected.push_back(Value::map({{"type", Value("progress")},
                                     {"count", Value::integer(n)},
                                     {"total", Value::integer(3)}}));
    }
    expected.insert(expected.end(), {Value(false), Value(true), Value(false)});
    EXPECT_EQ(host.events(), expected);
  }
}

// A call sent as soon as the one before is answered, while that picker's
// sheet is still sliding away, gets a picker of its own and its answer.
TEST_F(FilePickerHost, ACallRightAfterTheLastReplyIsAnswered) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string library = scratch.makeFolder("library");
  ASSERT_TRUE(WriteFixtureImage(library + "/a.png", "public.png", 8, 8));
  HostSession host({"QX_APP_HOME=" + scratch.makeFolder("container"),
                    "QX_PICKER_COMMAND=" + picker.command(), "QX_PHOTO_LIBRARY=" + library},
                   scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  int id = 0;
  for (const char* method : {"image", "media", "image", "any"}) {
    for (int i = 0; i < 2; ++i) {
      picker.answer({library + "/a.png"});
      host.send(call(++id, method));
      auto reply = host.reply(id, kWait);
      ASSERT_EQ(resultOf(reply).size(), 1u)
          << method << " call " << id << ": " << (reply ? reply->description() : "no reply");
    }
  }
  EXPECT_EQ(host.finish(kWait), 0);
}

// Picked data many times a piece of the host's output: the reply line comes
// whole, and the host answers on after it.
TEST_F(FilePickerHost, ALargePickWithDataComesBackWholeAndTheHostGoesOn) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string user = scratch.makeFolder("user");
  std::string contents(size_t{3} << 20, '\0');
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7 + i / 251);
  writeFile(user + "/large.bin", contents);
  writeFile(user + "/small.txt", "small");
  HostSession host(
      {"QX_APP_HOME=" + scratch.makeFolder("container"), "QX_PICKER_COMMAND=" + picker.command()},
      scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  picker.answer({user + "/large.bin", user + "/small.txt"});
  host.send(call(1, "any", R"({"allowMultipleSelection":true,"withData":true})"));
  auto picked = host.reply(1, kWait);
  ASSERT_EQ(resultOf(picked).size(), 2u) << (picked ? "" : "no whole reply line");
  expectDescribes(resultOf(picked).asList()[0], contents, "large.bin", true);
  expectDescribes(resultOf(picked).asList()[1], "small", "small.txt", true);
  picker.answer({user + "/small.txt"});
  host.send(call(2, "any", R"({"withData":true})"));
  auto next = host.reply(2, kWait);
  ASSERT_EQ(resultOf(next).size(), 1u);
  expectDescribes(resultOf(next).asList()[0], "small", "small.txt", true);
  EXPECT_EQ(host.finish(kWait), 0);
}

// A picker program that never answers: a person drags its sheet down, the
// call is answered as a cancel and the program's whole process group ends;
// one still open when input ends goes with the host. A program that
// ignores SIGTERM (and the child it started, which inherits that) is
// killed two seconds after it.
TEST_F(FilePickerHost, AHangingPickerGoesWithADragAndWithTheHost) {
  for (bool ignoresTerm : {false, true}) {
    SCOPED_TRACE(ignoresTerm ? "ignores SIGTERM" : "ends on SIGTERM");
    TempFolder scratch;
    PickerScript picker(scratch);
    HostSession host(
        {"QX_APP_HOME=" + scratch.makeFolder("container"), "QX_PICKER_COMMAND=" + picker.command(),
         "QX_EXIT_WAIT=0.5"},
        scratch.path() + "/host.err");
    ASSERT_TRUE(host.started());
    int id = 100;
    // Starts a picker that hangs with a child of its own; both processes.
    auto hang = [&](int callId) {
      const std::string mark = picker.dir() + "/hang." + std::to_string(callId);
      picker.next(hangingPicker(mark, ignoresTerm));
      host.send(call(callId, "any"));
      EXPECT_TRUE(untilWhileServing(host, id, [&] { return readPid(mark + ".pid") > 0; }));
      std::vector<Watched> processes;
      processes.emplace_back(readPid(mark + ".pid"));
      processes.emplace_back(readPid(mark + ".child"));
      return processes;
    };
    auto first = hang(1);
    ASSERT_TRUE(first[0].valid() && first[1].valid());
    host.send(R"({"id":2,"touch":{"kind":"drag","path":[[195,300],[195,700]]}})");
    EXPECT_TRUE(resultOf(host.reply(2, kWait)).isNull());
    auto cancelled = host.reply(1, kWait);
    ASSERT_TRUE(cancelled);
    EXPECT_TRUE(resultOf(cancelled).isNull());
    EXPECT_EQ(cancelled->find("error"), nullptr);
    for (const auto& process : first) ASSERT_TRUE(process.endsWithin(kWait));

    auto second = hang(3);
    ASSERT_TRUE(second[0].valid() && second[1].valid());
    EXPECT_FALSE(second[0].endsWithin(0));
    // The unanswered call holds the host for its drain time (QX_EXIT_WAIT, far
    // below the default), then it exits.
    EXPECT_EQ(host.finish(kTestTimeoutSeconds), 0);
    for (const auto& process : second) ASSERT_TRUE(process.endsWithin(kWait));
    if (!ignoresTerm) {
      EXPECT_TRUE(std::filesystem::exists(picker.dir() + "/hang.1.term"));
      EXPECT_TRUE(std::filesystem::exists(picker.dir() + "/hang.3.term"));
    }
  }
}

std::set<std::string> hostFolders(const std::string& container) {
  std::set<std::string> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(container + "/tmp", error)) {
    if (entry.path().filename().string().rfind("file_picker-", 0) == 0) {
      out.insert(entry.path().string());
    }
  }
  return out;
}

// A stop signal while a picker program is open ends the host as the end of
// input does, without waiting for the open call: the program's group goes
// (killed when it ignores SIGTERM), so do the host's temporary folders, and
// the host then dies of that signal. A second signal while it ends changes
// neither.
TEST_F(FilePickerHost, AStopSignalEndsTheHostWithItsPickerAndFolders) {
  struct Case {
    int signal;
    bool ignoresTerm;
    int second;  // sent once the end is under way; 0 for none
  };
  const Case cases[] = {
      {SIGTERM, false, 0},      {SIGINT, false, 0},       {SIGHUP, false, SIGTERM},
      {SIGTERM, true, SIGINT},  {SIGINT, true, 0},        {SIGHUP, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.ignoresTerm ? ", ignores SIGTERM" : "") +
                 (c.second ? std::string(", then ") + strsignal(c.second) : ""));
    TempFolder scratch;
    PickerScript picker(scratch);
    const std::string container = scratch.makeFolder("container");
    const std::string doc = scratch.writeFile("user/doc.txt", "doc");
    HostSession host({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + picker.command()},
                     scratch.path() + "/host.err");
    ASSERT_TRUE(host.started());
    // A pick first, so the host has a folder of copies.
    picker.answer({doc});
    host.send(call(1, "any"));
    const Value& picked = resultOf(host.reply(1, kWait));
    ASSERT_EQ(picked.size(), 1u);
    const std::string copy = picked.asList()[0].find("path")->asString();
    ASSERT_EQ(hostFolders(container).size(), 1u);

    const std::string mark = picker.dir() + "/open";
    picker.next(hangingPicker(mark, c.ignoresTerm));
    host.send(call(2, "any"));
    int id = 100;
    ASSERT_TRUE(untilWhileServing(host, id, [&] { return readPid(mark + ".pid") > 0; }));
    std::vector<Watched> processes;
    processes.emplace_back(readPid(mark + ".pid"));
    processes.emplace_back(readPid(mark + ".child"));
    ASSERT_TRUE(processes[0].valid() && processes[1].valid());

    ASSERT_EQ(::kill(host.pid(), c.signal), 0);
    if (c.second) {
      // The folders go before the picker's group is waited for.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
      while (!hostFolders(container).empty() && std::chrono::steady_clock::now() < deadline) {
        host.reply(99, 0.02);
      }
      ::kill(host.pid(), c.second);
    }
    const int status = host.waitForExit(kWait);
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    // One row left running is enough: the others would only wait as long.
    for (const auto& process : processes) ASSERT_TRUE(process.endsWithin(kWait));
    // Given the chance to end on its own first.
    if (!c.ignoresTerm) {
      EXPECT_TRUE(std::filesystem::exists(mark + ".term"));
    }
    EXPECT_TRUE(hostFolders(container).empty());
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_EQ(readFile(doc), "doc");
  }
}

// What a picker program names is checked and copied off the main thread:
// a fifo, a device and a file bigger than the free disk are answered with an
// error at once, and a large file is copied while other channels answer.
TEST_F(FilePickerHost, PicksAreCheckedAndCopiedWhileOtherChannelsAnswer) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string container = scratch.makeFolder("container");
  const std::string user = scratch.makeFolder("user");
  ASSERT_EQ(::mkfifo((user + "/pipe.png").c_str(), 0600), 0);
  struct statvfs fs {};
  ASSERT_EQ(::statvfs(user.c_str(), &fs), 0);
  const uint64_t free = uint64_t(fs.f_bavail) * fs.f_frsize;
  // Sparse: takes no room here, but a copy would need it all.
  const std::string huge = user + "/huge.png";
  writeFile(huge, "");
  const bool hugeMade = ::truncate(huge.c_str(), off_t(free + (uint64_t(1) << 40))) == 0;
  const std::string large = user + "/large.bin";
  writeFile(large, "");
  ASSERT_EQ(::truncate(large.c_str(), off_t(256) << 20), 0);
  HostSession host({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + picker.command()},
                   scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  struct Case {
    std::string path, method, message;  // message: "" for a pick that succeeds
  };
  std::vector<Case> cases{
      {user + "/pipe.png", "any", "is not a regular file"},
      {user + "/pipe.png", "image", "Failed to process any images/video"},
      {"/dev/zero", "any", "is not a regular file"},
      {"/dev/zero", "media", "Failed to process any images/video"},
      {large, "any", ""},
  };
  if (hugeMade) {
    cases.push_back({huge, "any", "free on the disk"});
    cases.push_back({huge, "image", "free on the disk"});
  }
  int id = 1000;
  int callId = 0;
  for (const auto& c : cases) {
    ++callId;
    picker.answer({c.path});
    host.send(call(callId, c.method));
    // Other calls are answered all along; count those sent and answered
    // while the copy was under way (it was then before and after).
    int servedWhileCopying = 0;
    bool copying = false;
    EXPECT_TRUE(untilWhileServing(host, id,
                                  [&] {
                                    const bool now = copyUnderWay(container + "/tmp", "large.bin",
                                                                  uint64_t(256) << 20);
                                    servedWhileCopying += copying && now;
                                    copying = now;
                                    return host.reply(callId, 0).has_value();
                                  }))
        << c.path << " " << c.method << ": the host stopped answering";
    auto reply = host.reply(callId, 0);
    ASSERT_TRUE(reply) << c.path;
    if (c.message.empty()) {
      ASSERT_EQ(resultOf(reply).size(), 1u) << reply->description();
      EXPECT_EQ(resultOf(reply).asList()[0].find("size")->asInt64(), int64_t(256) << 20);
      EXPECT_GT(servedWhileCopying, 0) << "the copy held the main thread";
      continue;
    }
    EXPECT_EQ(errorCodeOf(reply), "file_picker_error") << reply->description();
    EXPECT_NE(reply->description().find(c.message), std::string::npos) << reply->description();
  }
  EXPECT_EQ(host.finish(kWait), 0);
}

// Imports and photos are copies of the bytes, however the library holds
// them (links, relative or absolute), and an import leaves no empty folder.
TEST_F(FilePickerHost, LinkedPhotosComeBackAsCopiesAndImportsLeaveNoInbox) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string container = scratch.makeFolder("container");
  const std::string library = scratch.makeFolder("library");
  ASSERT_TRUE(WriteFixtureImage(library + "/a.png", "public.png", 8, 8));
  const std::string original = readFile(library + "/a.png");
  ASSERT_EQ(::symlink("a.png", (library + "/relative.png").c_str()), 0);
  ASSERT_EQ(::symlink((library + "/a.png").c_str(), (library + "/absolute.png").c_str()), 0);
  HostSession host({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + picker.command(),
                    "QX_PHOTO_LIBRARY=" + library},
                   scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  int id = 0;
  for (const char* method : {"image", "any"}) {
    picker.answer({library + "/relative.png", library + "/absolute.png"});
    host.send(call(++id, method, R"({"allowMultipleSelection":true})"));
    auto reply = host.reply(id, kWait);
    ASSERT_EQ(resultOf(reply).size(), 2u) << (reply ? reply->description() : "no reply");
    for (const Value& entry : resultOf(reply).asList()) {
      const std::string path = entry.find("path")->asString();
      struct stat st;
      ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
      EXPECT_TRUE(S_ISREG(st.st_mode)) << method << ": " << path << " is not a file of its own";
      EXPECT_EQ(readFile(path), original) << path;
      writeFile(path, "changed");
    }
    EXPECT_EQ(readFile(library + "/a.png"), original) << method << ": the original was written";
  }
  EXPECT_EQ(host.finish(kWait), 0);
  for (const auto& entry : std::filesystem::directory_iterator(container + "/tmp")) {
    EXPECT_NE(entry.path().filename().string().rfind("Inbox", 0), 0u) << entry.path();
  }
}

// A save's temporary beside its destination carries the host's pid and
// start time; a host that starts removes those of hosts that are gone, and
// keeps those of hosts that still run.
TEST_F(FilePickerHost, ExportTemporariesOfDeadHostsGoWhenTheNextStarts) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string container = scratch.makeFolder("container");
  const std::string journal =
      scratch.makeFolder("container/Library/Caches/UIDocumentPickerExports");
  const std::string saves = scratch.makeFolder("saves");
  pid_t gone = 0;
  char program[] = "true";
  char* argv[] = {program, nullptr};
  ASSERT_EQ(::posix_spawnp(&gone, program, nullptr, nullptr, argv, environ), 0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  std::string stat = readFile("/proc/self/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) fields >> field;  // field 22: the start time
  auto leave = [&](const std::string& tag) {
    writeFile(saves + "/.export-" + tag, "half a save");
    writeFile(journal + "/" + tag, saves + "/.export-" + tag);
  };
  const std::string dead = std::to_string(gone) + "-" + field + "-A";
  const std::string reused = std::to_string(::getpid()) + "-1-B";  // this pid, another start
  const std::string alive = std::to_string(::getpid()) + "-" + field + "-C";
  for (const auto& tag : {dead, reused, alive}) leave(tag);
  writeFile(saves + "/.export-unnoted", "not ours to judge");
  HostSession host({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + picker.command()},
                   scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  int id = 100;
  EXPECT_TRUE(untilWhileServing(host, id, [&] {
    for (const auto& tag : {dead, reused}) {
      if (std::filesystem::exists(saves + "/.export-" + tag) ||
          std::filesystem::exists(journal + "/" + tag)) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_TRUE(std::filesystem::exists(saves + "/.export-" + alive));
  EXPECT_TRUE(std::filesystem::exists(journal + "/" + alive));
  EXPECT_TRUE(std::filesystem::exists(saves + "/.export-unnoted"));
  // A save of its own leaves neither a temporary nor a journal entry.
  picker.answer({saves + "/out.txt"});
  host.send(call(1, "save", R"({"fileName":"out.txt","bytes":{"$bytes":"c2F2ZWQ="}})"));
  EXPECT_EQ(resultOf(host.reply(1, kWait)), Value(saves + "/out.txt"));
  EXPECT_EQ(readFile(saves + "/out.txt"), "saved");
  std::set<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(saves)) left.insert(e.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{"out.txt", ".export-" + alive, ".export-unnoted"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(journal), {}), 1);
  EXPECT_EQ(host.finish(kWait), 0);
}

// Without a picker program, and with zenity's wrapper but no display (none
// named, or one zenity cannot open), the answer's message and the host's
// standard error say what to set; a dialog the user closes is still a cancel.
TEST_F(FilePickerHost, MissingSettingsAreNamedInTheError) {
  TempFolder scratch;
  // A zenity that fails as GTK does without a display, or is cancelled.
  const std::string bin = scratch.makeFolder("bin");
  writeFile(bin + "/zenity",
            "#!/bin/sh\n[ \"$DISPLAY\" = :99 ] || exit 1\n"
            "echo 'Gtk-WARNING **: cannot open display: :99' >&2\nexit 1\n");
  ::chmod((bin + "/zenity").c_str(), 0755);
  const std::string zenity = std::string(QX_SOURCE_ROOT) + "/tools/pick-with-zenity";
  const std::string path = "PATH=" + bin + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  struct Case {
    std::string command, display, inMessage, inLog;  // inMessage "": a cancel
  };
  const std::vector<Case> cases{
      {"", "", "QX_PICKER_COMMAND", "QX_PICKER_COMMAND"},
      {zenity, "", "status 2", "WAYLAND_DISPLAY"},
      {zenity, ":99", "status 2", "WAYLAND_DISPLAY"},
      {zenity, ":0", "", ""},
  };
  for (const auto& c : cases) {
    const std::string log = scratch.path() + "/host.err";
    HostSession host(
        {"QX_APP_HOME=" + scratch.makeFolder("container"), "QX_PICKER_COMMAND=" + c.command,
         "DISPLAY=" + c.display, "WAYLAND_DISPLAY=", path},
        log);
    ASSERT_TRUE(host.started());
    host.send(call(1, "any"));
    auto reply = host.reply(1, kWait);
    ASSERT_TRUE(reply) << c.command << " " << c.display;
    EXPECT_EQ(host.finish(kWait), 0);
    EXPECT_NE(readFile(log).find(c.inLog), std::string::npos) << readFile(log);
    if (c.inMessage.empty()) {
      EXPECT_TRUE(resultOf(reply).isNull()) << reply->description();
      EXPECT_EQ(reply->find("error"), nullptr);
      continue;
    }
    EXPECT_EQ(errorCodeOf(reply), "file_picker_error");
    // The program's reason (its last line on standard error) is in the
    // message too, not only in the host's log.
    const std::string message = reply->find("error")->find("message")->asString();
    EXPECT_NE(message.find(c.inMessage), std::string::npos) << reply->description();
    EXPECT_NE(message.find(c.inLog), std::string::npos) << reply->description();
  }
}

// Items a road leaves out are named once on standard error and the rest
// answered; a folder or a save destination whose path is not UTF-8 (a reply
// could only name it with U+FFFD) is answered with an error, and the save
// writes nothing.
TEST_F(FilePickerHost, LeftOutItemsAreNamedOnceAndPathsNoReplyCanNameAreRefused) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string container = scratch.makeFolder("container");
  const std::string user = scratch.makeFolder("user");
  const std::string library = scratch.makeFolder("library");
  ASSERT_TRUE(WriteFixtureImage(library + "/a.jpg", "public.jpeg", 16, 12));
  ASSERT_TRUE(WriteFixtureImage(library + "/b.png", "public.png", 8, 8));
  ASSERT_EQ(::mkfifo((library + "/photo-pipe.png").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((user + "/doc-pipe.txt").c_str(), 0600), 0);
  writeFile(user + "/a.txt", "alpha");
  const std::string latin = user + "/caf\xE9";
  std::filesystem::create_directories(latin);
  const std::string log = scratch.path() + "/host.err";
  HostSession host({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + picker.command(),
                    "QX_PHOTO_LIBRARY=" + library},
                   log);
  ASSERT_TRUE(host.started());
  auto mentions = [&](const std::string& text) {
    std::ifstream in(log);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
    return n;
  };

  picker.answer({library + "/a.jpg", library + "/photo-pipe.png", library + "/b.png"});
  host.send(call(1, "image", R"({"allowMultipleSelection":true})"));
  auto photos = host.reply(1, kWait);
  EXPECT_EQ(resultOf(photos).size(), 2u) << (photos ? photos->description() : "no reply");
  picker.answer({user + "/a.txt", user + "/doc-pipe.txt"});
  host.send(call(2, "any", R"({"allowMultipleSelection":true})"));
  auto docs = host.reply(2, kWait);
  ASSERT_EQ(resultOf(docs).size(), 1u) << (docs ? docs->description() : "no reply");
  expectDescribes(resultOf(docs).asList()[0], "alpha", "a.txt", false);

  picker.answer({latin});
  host.send(call(3, "dir"));
  auto dir = host.reply(3, kWait);
  EXPECT_EQ(errorCodeOf(dir), "file_picker_error");
  const std::string saved = latin + "/out.txt";
  picker.answer({saved});
  host.send(call(4, "save", R"({"fileName":"out.txt","bytes":{"$bytes":"c2F2ZWQ="}})"));
  auto save = host.reply(4, kWait);
  EXPECT_EQ(errorCodeOf(save), "file_picker_error");
  picker.answer({saved});
  host.send(call(5, "save", R"({"fileName":"out.txt"})"));
  EXPECT_EQ(errorCodeOf(host.reply(5, kWait)), "file_picker_error");
  for (const auto& reply : {dir, save}) {
    ASSERT_TRUE(reply);
    EXPECT_NE(reply->find("error")->find("message")->asString().find("not valid UTF-8"),
              std::string::npos)
        << reply->description();
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(latin), {}), 0)
      << "nothing was written where the reply could not point";
  EXPECT_EQ(host.finish(kWait), 0);
  EXPECT_EQ(mentions("photo-pipe.png"), 1u) << readFile(log);
  EXPECT_EQ(mentions("doc-pipe.txt"), 1u) << readFile(log);
}

// The file the dynamic loader opens for a library of that name.
std::string LoadedPath(const char* name) {
  void* handle = ::dlopen(name, RTLD_LAZY);
  link_map* map = nullptr;
  if (!handle || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return "";
  return map->l_name;
}

// The media libraries are loaded when a road needs them, not at start: a host
// whose libavutil is not libav (another library under its name, first on the
// search path) starts and answers, the music road says what is missing, and
// the photo grid still shows a library whose video an earlier host indexed.
TEST_F(FilePickerHost, WithoutTheMediaLibrariesTheHostStartsAndItsRoadsSayWhy) {
  TempFolder scratch;
  PickerScript picker(scratch);
  const std::string libraries = scratch.makeFolder("libraries");
  std::filesystem::copy_file(LoadedPath("libz.so.1"), libraries + "/" + LibavLibraryNames()[0]);
  const std::string music = scratch.makeFolder("music");
  ASSERT_TRUE(WriteFixtureTone(music + "/song.wav", 0.4, std::string("Night/Day")));
  const std::string photos = scratch.makeFolder("photos");
  ASSERT_TRUE(WriteFixtureImage(photos + "/a.jpg", "public.jpeg", 32, 24));
  ASSERT_TRUE(WriteFixtureVideo(photos + "/c.mp4", 32, 32, 5));
  const std::string container = scratch.makeFolder("container");
  const std::string errors = scratch.path() + "/host.err";
  // The centre of the first view whose class or text is `name`, as JSON.
  auto centreOf = [](const Value& tree, const std::string& name) -> std::optional<std::string> {
    std::optional<std::string> found;
    std::function<void(const Value&)> find = [&](const Value& view) {
      const Value* text = view.find("text");
      const Value* cls = view.find("class");
      if (!found && ((text && text->isString() && text->asString() == name) ||
                     (cls && cls->isString() && cls->asString() == name))) {
        const auto& f = view.find("frame")->asList();
        found = "[" + std::to_string(f[0].asDouble() + f[2].asDouble() / 2) + "," +
                std::to_string(f[1].asDouble() + f[3].asDouble() / 2) + "]";
      }
      if (const Value* children = view.find("children"))
        for (const Value& child : children->asList()) find(child);
    };
    find(tree);
    return found;
  };
  int next = 100;
  auto ask = [&](HostSession& host, const std::string& members, double wait) {
    const int id = next++;
    host.send(R"({"id":)" + std::to_string(id) + "," + members + "}");
    auto reply = host.reply(id, wait);
    EXPECT_TRUE(reply && !reply->find("error"))
        << members << ": " << (reply ? reply->description() : readFile(errors));
    return reply ? resultOf(reply) : Value();
  };
  // The older photo road: the media asset picker's grid (a video's frame and
  // length are libav's), still; with `playVideo` a long press on the video
  // opens it in the gallery (libav plays it) and a drag down closes it; then
  // cancelled. The grid's classes.
  auto showGridThenCancel = [&](HostSession& host, int id, bool playVideo = false) -> std::string {
    host.send(call(id, "media", R"({"allowMultipleSelection":true})"));
    ask(host, R"("idle":null)", 40);
    Value tree = ask(host, R"("viewTree":null)", kWait);
    const std::string grid = tree.description();
    if (auto video = centreOf(tree, "AKAssetGroupDetailVideoCell"); playVideo && video) {
      ask(host, R"("touch":{"kind":"longPress","point":)" + *video + "}", kWait);
      ask(host, R"("idle":null)", 40);
      ask(host, R"("touch":{"kind":"drag","path":[[195,300],[195,450],[195,700]]})", kWait);
      ask(host, R"("idle":null)", 40);
      tree = ask(host, R"("viewTree":null)", kWait);
    }
    auto cancel = centreOf(tree, "Cancel");
    EXPECT_TRUE(cancel) << tree.description();
    if (!cancel) return "";
    ask(host, R"("touch":{"kind":"tap","point":)" + *cancel + "}", kWait);
    auto cancelled = host.reply(id, kWait);
    EXPECT_TRUE(cancelled && resultOf(cancelled).isNull()) << readFile(errors);
    return grid;
  };
  {
    // With libav, the library's index learns that c.mp4 is a video.
    HostSession host(
        {"QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + photos, "QX_SYSTEM_VERSION=13.7"},
        errors);
    ASSERT_TRUE(host.started());
    EXPECT_NE(showGridThenCancel(host, 1).find("AKAssetGroupDetailVideoCell"), std::string::npos);
    EXPECT_EQ(host.finish(kWait), 0) << readFile(errors);
  }
  HostSession host({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + picker.command(),
                    "QX_MUSIC_LIBRARY=" + music, "QX_PHOTO_LIBRARY=" + photos,
                    "QX_SYSTEM_VERSION=13.7", "LD_LIBRARY_PATH=" + libraries},
                   errors);
  ASSERT_TRUE(host.started());
  host.send(R"({"id":1,"channel":"dev.tarnquell.plugins/battery","method":"getBatteryState"})");
  ASSERT_TRUE(host.reply(1, kWait)) << readFile(errors);
  picker.answer({music + "/song.wav"});
  host.send(call(2, "audio"));
  auto audio = host.reply(2, kWait);
  ASSERT_TRUE(audio) << readFile(errors);
  EXPECT_EQ(errorCodeOf(audio), "");
  EXPECT_TRUE(resultOf(audio).isNull()) << audio->description();
  // The dynamic loader's own words, which name the library it refused.
  const std::string said = readFile(errors);
  const size_t why = said.find("MPMediaItem: The media libraries cannot be loaded: ");
  ASSERT_NE(why, std::string::npos) << said;
  EXPECT_NE(said.find(LibavLibraryNames()[0], why), std::string::npos) << said;
  // The grid over the video it knows, without its frame, and the video's page.
  EXPECT_NE(showGridThenCancel(host, 3, true).find("AKAssetGroupDetailVideoCell"),
            std::string::npos);
  EXPECT_EQ(host.finish(kWait), 0) << readFile(errors);
}

}  // namespace

}  // namespace file_picker_host_test

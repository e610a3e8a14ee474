// The file picker end to end: the built host driven through its JSON lines,
// with a scripted picker program and a scratch photo library, every reply
// checked against the files on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "HostSession.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSURL.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/photos/MediaFixtures.h"

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

}  // namespace

// The files the file picker makes, with several built hosts on one
// application container: each host removes only its own, those a killed host
// left go when the next one starts, and two hosts exporting the same photos
// at once each get every file.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "HostSession.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/photos/MediaFixtures.h"

namespace file_picker_files_host_test {

namespace {

constexpr double kWait = 3 * kTestTimeoutSeconds;
const std::string kChannel = "corvinstead.flutter.plugins.filepicker";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string call(int id, const std::string& method, const std::string& args = "null") {
  return R"({"id":)" + std::to_string(id) + R"(,"channel":")" + kChannel + R"(","method":")" +
         method + R"(","args":)" + args + "}";
}

const Value& resultOf(const std::optional<Value>& reply) {
  static const Value kNone;
  const Value* r = reply ? reply->find("result") : nullptr;
  return r ? *r : kNone;
}

// A picker program that runs `body` (sh).
std::string pickerProgram(const TempFolder& scratch, const std::string& name,
                          const std::string& body) {
  const std::string path = scratch.writeFile("pickers/" + name, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

// The hosts' folders in the container's temporary directory.
std::set<std::string> hostFolders(const std::string& container) {
  std::set<std::string> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(container + "/tmp", error)) {
    if (entry.path().filename().string().rfind("file_picker-", 0) == 0)
      out.insert(entry.path().string());
  }
  return out;
}

using FilePickerFilesHost = PlatformTest;

TEST_F(FilePickerFilesHost, ClearRemovesOnlyTheFilesOfTheHostThatAsks) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string a = scratch.writeFile("user/a.txt", "alpha");
  const std::string b = scratch.writeFile("user/b.txt", "beta");
  HostSession hostA({"QX_APP_HOME=" + container,
                     "QX_PICKER_COMMAND=" + pickerProgram(scratch, "a", "echo '" + a + "'")},
                    scratch.path() + "/a.err");
  HostSession hostB({"QX_APP_HOME=" + container,
                     "QX_PICKER_COMMAND=" + pickerProgram(scratch, "b", "echo '" + b + "'")},
                    scratch.path() + "/b.err");
  ASSERT_TRUE(hostA.started() && hostB.started());
  hostA.send(call(1, "any"));
  hostB.send(call(1, "any"));
  auto pickedA = resultOf(hostA.reply(1, kWait)), pickedB = resultOf(hostB.reply(1, kWait));
  ASSERT_EQ(pickedA.size(), 1u);
  ASSERT_EQ(pickedB.size(), 1u);
  const std::string copyA = pickedA.asList()[0].find("path")->asString();
  const std::string copyB = pickedB.asList()[0].find("path")->asString();
  EXPECT_EQ(hostFolders(container).size(), 2u);

  hostB.send(call(2, "clear"));
  EXPECT_EQ(resultOf(hostB.reply(2, kWait)), Value(true));
  EXPECT_EQ(readFile(copyA), "alpha") << "the other host's pick stays";
  EXPECT_FALSE(std::filesystem::exists(copyB));
  hostA.send(call(2, "clear"));
  EXPECT_EQ(resultOf(hostA.reply(2, kWait)), Value(true));
  EXPECT_FALSE(std::filesystem::exists(copyA));
  EXPECT_EQ(readFile(a), "alpha") << "the user's own files stay";
  EXPECT_EQ(hostA.finish(kWait), 0);
  EXPECT_EQ(hostB.finish(kWait), 0);
}

TEST_F(FilePickerFilesHost, WhatAKilledHostLeftGoesWhenTheNextStartsAndARunningHostsFilesStayTillItExits) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string doc = scratch.writeFile("user/doc.txt", "doc");
  const std::string saved = scratch.writeFile("user/saved.bin", "before");
  const std::string started = scratch.path() + "/save-started";
  const std::string release = scratch.path() + "/release";
  // The save picker stays up until the test lets it go (or its folder goes).
  const std::string hang = pickerProgram(scratch, "hang",
                                         "touch '" + started +
                                             "'\n"
                                             "while [ ! -e '" +
                                             release + "' ] && [ -d '" + scratch.path() +
                                             "' ]; do sleep 0.02; done\nexit 1");
  struct Release {
    std::string path;
    ~Release() { std::ofstream{path}; }
  } releaseAtEnd{release};
  HostSession running({"QX_APP_HOME=" + container,
                       "QX_PICKER_COMMAND=" + pickerProgram(scratch, "doc", "echo '" + doc + "'")},
                      scratch.path() + "/running.err");
  ASSERT_TRUE(running.started());
  running.send(call(1, "any"));
  auto picked = resultOf(running.reply(1, kWait));
  ASSERT_EQ(picked.size(), 1u);
  const std::string kept = picked.asList()[0].find("path")->asString();
  const auto before = hostFolders(container);
  ASSERT_EQ(before.size(), 1u);

  {
    HostSession killed({"QX_APP_HOME=" + container, "QX_PICKER_COMMAND=" + hang},
                       scratch.path() + "/killed.err");
    ASSERT_TRUE(killed.started());
    killed.send(call(1, "save", R"({"fileName":"saved.bin","bytes":{"$bytes":"AAECAw=="}})"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
    while (!std::filesystem::exists(started) && std::chrono::steady_clock::now() < deadline) {
      killed.reply(99, 0.05);  // reads what the host writes while the test waits
    }
    ASSERT_TRUE(std::filesystem::exists(started));
  }  // killed (SIGKILL) while its save picker is up
  const auto afterKill = hostFolders(container);
  ASSERT_EQ(afterKill.size(), 2u) << "the killed host's save is still there";

  HostSession next({"QX_APP_HOME=" + container}, scratch.path() + "/next.err");
  ASSERT_TRUE(next.started());
  next.send(call(1, "noSuchMethod"));
  ASSERT_TRUE(next.reply(1, kWait));
  EXPECT_EQ(hostFolders(container), before)
      << "the killed host's folder went, the running one's stayed";
  EXPECT_EQ(readFile(kept), "doc");
  EXPECT_EQ(readFile(saved), "before") << "nothing was saved over the user's file";
  EXPECT_EQ(next.finish(kWait), 0);
  EXPECT_EQ(running.finish(kWait), 0);
  EXPECT_FALSE(std::filesystem::exists(kept)) << "a host's picks go when it exits";
  EXPECT_TRUE(hostFolders(container).empty());
  EXPECT_EQ(readFile(doc), "doc");
}

// The copies the system pickers make (imports, photos, the image picker's)
// lie in folders named after the host that makes them: those of a host
// killed during a pick go when the next host starts, and with "clear"; those
// of a host that runs (this pid with its start time) stay.
TEST_F(FilePickerFilesHost, CopiesAKilledHostsPickersWereMakingGoAtTheNextStartAndWithClear) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string tmp = scratch.makeFolder("container/tmp");
  pid_t gone = 0;
  char program[] = "true";
  char* argv[] = {program, nullptr};
  ASSERT_EQ(::posix_spawnp(&gone, program, nullptr, nullptr, argv, environ), 0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  const std::string stat = readFile("/proc/self/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string start;
  for (int i = 3; i <= 22; ++i) fields >> start;  // field 22: the start time
  const std::string uuid = "0A1B2C3D-0000-4000-8000-00000000000";
  const std::string dead = std::to_string(gone) + "-" + start + "-" + uuid;
  const std::string reused = std::to_string(::getpid()) + "-1-" + uuid;  // another start
  const std::string alive = std::to_string(::getpid()) + "-" + start + "-" + uuid;
  auto leave = [&](const std::string& folder) {
    scratch.writeFile("container/tmp/" + folder + "/partial.jpg", "half a copy");
    return tmp + "/" + folder;
  };
  const std::vector<std::string> left{leave("Inbox-" + dead + "1"),
                                      leave(".NSItemProvider-" + dead + "2"),
                                      leave("UIImagePickerController-" + reused + "3")};
  const std::vector<std::string> kept{leave("Inbox-" + alive + "4"), leave("Inbox-" + uuid + "5"),
                                      leave("Inbox-x-" + start + "-" + uuid + "6")};
  HostSession host({"QX_APP_HOME=" + container}, scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  host.send(call(1, "noSuchMethod"));
  ASSERT_TRUE(host.reply(1, kWait));
  for (const auto& folder : left) EXPECT_FALSE(std::filesystem::exists(folder)) << folder;
  for (const auto& folder : kept) EXPECT_TRUE(std::filesystem::exists(folder)) << folder;

  const std::string later = leave(".NSItemProvider-" + dead + "7");
  host.send(call(2, "clear"));
  EXPECT_EQ(resultOf(host.reply(2, kWait)), Value(true));
  EXPECT_FALSE(std::filesystem::exists(later));
  for (const auto& folder : kept) EXPECT_TRUE(std::filesystem::exists(folder)) << folder;
  EXPECT_EQ(host.finish(kWait), 0);
}

struct Node {
  std::string identifier;
  std::string text;
  double x = 0, y = 0, width = 0, height = 0;
};

void flatten(const Value& view, std::vector<Node>& out) {
  if (!view.isMap()) return;
  Node node;
  if (const Value* i = view.find("identifier"); i && i->isString()) node.identifier = i->asString();
  if (const Value* t = view.find("text"); t && t->isString()) node.text = t->asString();
  if (const Value* f = view.find("frame"); f && f->isList() && f->size() == 4) {
    const auto& l = f->asList();
    node = {node.identifier, node.text,       l[0].asDouble(),
            l[1].asDouble(), l[2].asDouble(), l[3].asDouble()};
  }
  out.push_back(node);
  if (const Value* children = view.find("children"); children && children->isList()) {
    for (const Value& child : children->asList()) flatten(child, out);
  }
}

// One host on the older photo road, driven through its view tree and touches.
class GridDriver {
 public:
  explicit GridDriver(HostSession& host) : host_(host) {}
  std::vector<Node> nodes() {
    const int id = next_++;
    host_.send(R"({"id":)" + std::to_string(id) + R"(,"viewTree":null})");
    std::vector<Node> out;
    flatten(resultOf(host_.reply(id, kWait)), out);
    return out;
  }
  // The photo cells, in the order shown.
  std::vector<Node> cells() {
    std::vector<Node> out;
    for (auto& n : nodes()) {
      if (n.identifier == "AKImageAssetAccessibilityIdentifier") out.push_back(n);
    }
    std::sort(out.begin(), out.end(),
              [](const Node& a, const Node& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    return out;
  }
  void tap(const Node& n, bool wait = true) {
    const int id = next_++;
    host_.send(R"({"id":)" + std::to_string(id) + R"(,"touch":{"kind":"tap","point":[)" +
               std::to_string(n.x + n.width / 2) + "," + std::to_string(n.y + n.height / 2) +
               "]}}");
    if (wait) host_.reply(id, kWait);
  }
  // Selects every photo cell until the done button counts them; the button.
  std::optional<Node> selectAll(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
    for (size_t n = 1; n <= count; ++n) {
      const std::string title = "Done (" + std::to_string(n) + ")";
      std::optional<Node> done;
      while (!done && std::chrono::steady_clock::now() < deadline) {
        auto shown = cells();
        if (shown.size() != count) continue;
        tap(shown[n - 1]);
        for (auto& node : nodes()) {
          if (node.text == title) done = node;
        }
      }
      if (!done) return std::nullopt;
      if (n == count) return done;
    }
    return std::nullopt;
  }

 private:
  HostSession& host_;
  int next_ = 100;
};

TEST_F(FilePickerFilesHost, TwoHostsExportingTheSamePhotosAtOnceEachGetEveryFile) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string library = scratch.makeFolder("library");
  ASSERT_TRUE(WriteFixtureImage(library + "/a.jpg", "public.jpeg", 64, 48, 1, std::nullopt,
                                "2020:01:01 00:00:00"));
  ASSERT_TRUE(WriteFixtureImage(library + "/b.png", "public.png", 40, 40, 1, std::nullopt,
                                "2020:01:02 00:00:00"));
  const std::vector<std::string> environment{
      "QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7"};
  HostSession first(environment, scratch.path() + "/first.err");
  HostSession second(environment, scratch.path() + "/second.err");
  ASSERT_TRUE(first.started() && second.started());
  const std::string request = R"({"allowMultipleSelection":true})";
  first.send(call(1, "image", request));
  second.send(call(1, "image", request));
  GridDriver one(first), two(second);
  auto doneOne = one.selectAll(2), doneTwo = two.selectAll(2);
  ASSERT_TRUE(doneOne && doneTwo) << readFile(scratch.path() + "/first.err");
  // Both confirm before either is waited for.
  one.tap(*doneOne, false);
  two.tap(*doneTwo, false);
  for (HostSession* host : {&first, &second}) {
    auto reply = host->reply(1, kWait);
    ASSERT_TRUE(reply);
    const Value& files = resultOf(reply);
    ASSERT_EQ(files.size(), 2u) << reply->description();
    std::set<std::string> contents;
    for (const Value& entry : files.asList())
      contents.insert(readFile(entry.find("path")->asString()));
    EXPECT_EQ(contents,
              (std::set<std::string>{readFile(library + "/a.jpg"), readFile(library + "/b.png")}));
  }
  EXPECT_EQ(first.finish(kWait), 0);
  EXPECT_EQ(second.finish(kWait), 0);
}

}  // namespace

}  // namespace file_picker_files_host_test

// The media asset picker road end to end: the built host on an older system
// version over a scratch photo library, its album grid found in the view
// tree and tapped through the driver, the exported files checked on disk.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>

#include "HostSession.h"
#include "platform/foundation/NSData.h"
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

const Value& resultOf(const std::optional<Value>& reply) {
  static const Value kNone;
  const Value* r = reply ? reply->find("result") : nullptr;
  return r ? *r : kNone;
}

struct Node {
  std::string className;
  std::string identifier;
  std::string text;
  CGRect frame;
};

// Every view of a view tree reply, depth first.
void flatten(const Value& view, std::vector<Node>& out) {
  if (!view.isMap()) return;
  Node node;
  if (const Value* c = view.find("class"); c && c->isString()) node.className = c->asString();
  if (const Value* i = view.find("identifier"); i && i->isString()) node.identifier = i->asString();
  if (const Value* t = view.find("text"); t && t->isString()) node.text = t->asString();
  if (const Value* f = view.find("frame"); f && f->isList() && f->size() == 4) {
    const auto& l = f->asList();
    node.frame = CGRectMake(l[0].asDouble(), l[1].asDouble(), l[2].asDouble(), l[3].asDouble());
  }
  out.push_back(node);
  if (const Value* children = view.find("children"); children && children->isList()) {
    for (const Value& child : children->asList()) flatten(child, out);
  }
}

class MediaRoadHost : public PlatformTest {
 protected:
  std::vector<Node> viewTree(HostSession& host) {
    const int id = nextId_++;
    host.send(R"({"id":)" + std::to_string(id) + R"(,"viewTree":null})");
    std::vector<Node> nodes;
    flatten(resultOf(host.reply(id, kWait)), nodes);
    return nodes;
  }
  // The grid's asset cells in the order shown (rows top to bottom).
  std::vector<Node> assetCells(HostSession& host) {
    std::vector<Node> cells;
    for (auto& n : viewTree(host)) {
      if (n.identifier == "AKImageAssetAccessibilityIdentifier" ||
          n.identifier == "AKVideoAssetAccessibilityIdentifier") {
        cells.push_back(n);
      }
    }
    std::sort(cells.begin(), cells.end(), [](const Node& a, const Node& b) {
      return a.frame.origin.y != b.frame.origin.y ? a.frame.origin.y < b.frame.origin.y
                                                  : a.frame.origin.x < b.frame.origin.x;
    });
    return cells;
  }
  bool tap(HostSession& host, CGPoint at) {
    const int id = nextId_++;
    host.send(R"({"id":)" + std::to_string(id) + R"(,"touch":{"kind":"tap","point":[)" +
              std::to_string(at.x) + "," + std::to_string(at.y) + "]}}");
    auto reply = host.reply(id, kWait);
    return reply && reply->find("result") && !reply->find("error");
  }
  static CGPoint centre(const Node& n) { return CGPointMake(CGRectGetMidX(n.frame), CGRectGetMidY(n.frame)); }

  int nextId_ = 100;
};

TEST_F(MediaRoadHost, PhotosTappedInTheGridAreExportedAndDescribedInTheReply) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string library = scratch.makeFolder("library");
  ASSERT_TRUE(WriteFixtureImage(library + "/a.jpg", "public.jpeg", 64, 48, 1, std::nullopt,
                                "2020:01:01 00:00:00"));
  ASSERT_TRUE(WriteFixtureImage(library + "/b.png", "public.png", 40, 40, 1, std::nullopt,
                                "2020:01:02 00:00:00"));
  ASSERT_TRUE(WriteFixtureVideo(library + "/c.mp4", 32, 32, 5, "2020-01-03T00:00:00Z"));
  HostSession host({"QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7"},
                   scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  host.send(R"({"id":1,"channel":")" + kEvents + R"(","listen":null})");
  ASSERT_TRUE(host.reply(1, kWait));
  host.send(R"({"id":2,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true,"withData":true}})");

  // The grid shows the three assets newest first once the library is read.
  std::vector<Node> cells;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
  auto inTime = [&] { return std::chrono::steady_clock::now() < deadline; };
  while (cells.size() < 3 && inTime()) cells = assetCells(host);
  ASSERT_EQ(cells.size(), 3u) << readFile(scratch.path() + "/host.err");
  EXPECT_EQ(cells[0].identifier, "AKVideoAssetAccessibilityIdentifier");
  EXPECT_EQ(cells[1].identifier, "AKImageAssetAccessibilityIdentifier");

  // b.png, then a.jpg. Touches during the picker's presentation go nowhere,
  // as on a device: a cell is tapped until the done button counts it.
  std::vector<Node> done;
  for (int n = 1; n <= 2; ++n) {
    const std::string title = "Done (" + std::to_string(n) + ")";
    done.clear();
    while (done.empty() && inTime()) {
      // Where the cells are now: the grid settles as the presentation ends.
      cells = assetCells(host);
      ASSERT_EQ(cells.size(), 3u);
      ASSERT_TRUE(tap(host, centre(cells[size_t(n)])));
      for (auto& node : viewTree(host)) {
        if (node.className == "UIButton" && node.text == title) done.push_back(node);
      }
    }
    ASSERT_EQ(done.size(), 1u) << "the done button counts the selection: " << title;
  }
  host.send(R"({"id":3,"snapshot":")" + scratch.path() + R"(/picker.png"})");
  ASSERT_TRUE(host.reply(3, kWait));
  EXPECT_EQ(readFile(scratch.path() + "/picker.png").substr(1, 3), "PNG");
  if (const char* dir = std::getenv("QX_SNAPSHOT_DIR")) {
    std::ofstream(std::string(dir) + "/host-media-road-grid.png", std::ios::binary)
        << readFile(scratch.path() + "/picker.png");
  }
  ASSERT_TRUE(tap(host, centre(done[0])));

  auto reply = host.reply(2, kWait);
  ASSERT_TRUE(reply) << readFile(scratch.path() + "/host.err");
  const Value& files = resultOf(reply);
  ASSERT_TRUE(files.isList()) << reply->description();
  ASSERT_EQ(files.size(), 2u);
  const char* originals[] = {"/b.png", "/a.jpg"};
  for (size_t i = 0; i < 2; ++i) {
    const Value& entry = files.asList()[i];
    const std::string path = entry.find("path")->asString();
    const std::string contents = readFile(path);
    // Without compression each photo keeps its original data.
    EXPECT_EQ(contents, readFile(library + originals[i])) << path;
    EXPECT_EQ(path.rfind(container, 0), 0u) << "exported inside the application's container: " << path;
    EXPECT_EQ(entry.find("name")->asString(), path.substr(path.find_last_of('/') + 1));
    EXPECT_EQ(entry.find("size")->asInt64(), int64_t(contents.size()));
    EXPECT_EQ(entry.find("identifier")->asString(), NSURL::fileURLWithPath(path)->absoluteString());
    auto bytes = Base64Decode(entry.find("bytes")->find("$bytes")->asString());
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), contents);
  }
  // The picker has left the screen.
  auto after = viewTree(host);
  EXPECT_TRUE(std::none_of(after.begin(), after.end(), [](const Node& n) {
    return n.identifier == "AKImageAssetAccessibilityIdentifier";
  }));
  EXPECT_EQ(host.finish(kWait), 0);
  EXPECT_EQ(host.events(), (std::vector<Value>{Value(true), Value(false)}));
}

}  // namespace

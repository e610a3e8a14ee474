// The media roads end to end through the built host's driver alone, as a
// person takes them: on the older system version the media asset picker over
// a scratch photo library (its grid, a long press into the gallery, a swipe
// to the next page, the drag down that dismisses it, two cells selected,
// done, the exported files on disk); every file picker method twice in a row
// with a scripted picker program; the end of input with a screen still open.
// The tests wait with the driver's idle request, never by polling.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <regex>
#include <set>
#include <thread>

#include "HostSession.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageBitmap.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIImage.h"
#include "support/HEIFLayout.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/heif/HEICFixtures.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/photos/MediaFixtures.h"

namespace media_road_host_test {

namespace {

constexpr double kWait = 3 * kTestTimeoutSeconds;
// The idle request gives up after 30 seconds; its answer comes before this.
constexpr double kIdleWait = 40;
// What these hosts wait for missing replies at the end of input (QX_EXIT_WAIT),
// well short of the host's own default, so that a host that ignored it fails.
const std::string kExitWaitSetting = "QX_EXIT_WAIT=0.5";
const std::string kChannel = "corvinstead.flutter.plugins.filepicker";
const std::string kEvents = "corvinstead.flutter.plugins.filepickerevent";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string describe(const std::optional<Value>& reply) {
  return reply ? reply->description() : "no reply";
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
  std::string label;
  CGRect frame;
  bool hidden = false;
  bool selected = false;
};

// Every view of a view tree reply, depth first. A view without a label of its
// own carries its first descendant's: a grid cell, its asset's identifier.
void flatten(const Value& view, std::vector<Node>& out) {
  if (!view.isMap()) return;
  Node node;
  if (const Value* c = view.find("class"); c && c->isString()) node.className = c->asString();
  if (const Value* i = view.find("identifier"); i && i->isString()) node.identifier = i->asString();
  if (const Value* t = view.find("text"); t && t->isString()) node.text = t->asString();
  if (const Value* l = view.find("label"); l && l->isString()) node.label = l->asString();
  if (const Value* f = view.find("frame"); f && f->isList() && f->size() == 4) {
    const auto& l = f->asList();
    node.frame = CGRectMake(l[0].asDouble(), l[1].asDouble(), l[2].asDouble(), l[3].asDouble());
  }
  if (const Value* h = view.find("hidden"); h && h->isBool()) node.hidden = h->asBool();
  if (const Value* s = view.find("selected"); s && s->isBool()) node.selected = s->asBool();
  const size_t at = out.size();
  out.push_back(node);
  if (const Value* children = view.find("children"); children && children->isList()) {
    for (const Value& child : children->asList()) flatten(child, out);
  }
  for (size_t i = at + 1; i < out.size() && out[at].label.empty(); ++i) out[at].label = out[i].label;
}

CGPoint centre(const Node& n) {
  return CGPointMake(CGRectGetMidX(n.frame), CGRectGetMidY(n.frame));
}

std::string pointJSON(const CGPoint& p) {
  return "[" + std::to_string(p.x) + "," + std::to_string(p.y) + "]";
}

class MediaRoadHost : public PlatformTest {
 protected:
  // Sends a request (its members but the id) and waits for the reply.
  std::optional<Value> request(HostSession& host, const std::string& members, double wait = kWait) {
    const int id = nextId_++;
    host.send(R"({"id":)" + std::to_string(id) + "," + members + "}");
    return host.reply(id, wait);
  }
  // Until the screen is still: nothing queued, nothing animating or moving.
  void idle(HostSession& host) {
    auto reply = request(host, R"("idle":null)", kIdleWait);
    ASSERT_TRUE(reply && reply->find("result")) << describe(reply);
  }
  std::vector<Node> viewTree(HostSession& host) {
    std::vector<Node> nodes;
    flatten(resultOf(request(host, R"("viewTree":null)")), nodes);
    return nodes;
  }
  // The grid's asset cells in the order shown (rows top to bottom).
  std::vector<Node> assetCells(HostSession& host) {
    std::vector<Node> cells;
    for (auto& n : viewTree(host)) {
      if (!n.hidden && (n.className == "AKAssetGroupDetailImageCell" ||
                        n.className == "AKAssetGroupDetailVideoCell")) {
        cells.push_back(n);
      }
    }
    std::sort(cells.begin(), cells.end(), [](const Node& a, const Node& b) {
      return a.frame.origin.y != b.frame.origin.y ? a.frame.origin.y < b.frame.origin.y
                                                  : a.frame.origin.x < b.frame.origin.x;
    });
    return cells;
  }
  // The grid cells whose thumbnail is hidden, which is the cell a closing
  // gallery zooms into, each named by its asset (the label its content view
  // carries).
  std::vector<std::string> zoomTargets(HostSession& host) {
    std::vector<std::string> found;
    std::vector<Node> cell;
    std::function<void(const Value&)> visit = [&](const Value& view) {
      if (!view.isMap()) return;
      const Value* c = view.find("class");
      if (c && c->isString() &&
          (c->asString() == "AKAssetGroupDetailImageCell" ||
           c->asString() == "AKAssetGroupDetailVideoCell")) {
        cell.clear();
        flatten(view, cell);
        bool thumbnailHidden = false;
        for (const Node& n : cell) {
          thumbnailHidden |= n.className == "UIImageView" && n.hidden &&
                             CGRectEqualToRect(n.frame, cell[0].frame);
        }
        if (thumbnailHidden) found.push_back(cell[0].label);
        return;
      }
      if (const Value* children = view.find("children"); children && children->isList()) {
        for (const Value& child : children->asList()) visit(child);
      }
    };
    visit(resultOf(request(host, R"("viewTree":null)")));
    return found;
  }
  std::vector<Node> buttonsTitled(HostSession& host, const std::string& title) {
    std::vector<Node> found;
    for (auto& n : viewTree(host)) {
      if (n.className == "UIButton" && n.text == title && !n.hidden) found.push_back(n);
    }
    return found;
  }
  // The gallery's "page/pages" title, when a gallery shows.
  std::optional<std::string> galleryTitle(HostSession& host) {
    static const std::regex kPage("[0-9]+/[0-9]+");
    for (auto& n : viewTree(host)) {
      if (!n.hidden && std::regex_match(n.text, kPage)) return n.text;
    }
    return std::nullopt;
  }
  // The gallery's select button: the right-most button of the bar that shows
  // the page title.
  std::optional<Node> selectButton(HostSession& host) {
    static const std::regex kPage("[0-9]+/[0-9]+");
    std::optional<Node> found;
    std::function<void(const Value&)> visit = [&](const Value& view) {
      if (!view.isMap()) return;
      if (const Value* c = view.find("class");
          c && c->isString() && c->asString() == "UINavigationBar") {
        std::vector<Node> bar;
        flatten(view, bar);
        if (std::any_of(bar.begin(), bar.end(),
                        [](const Node& n) { return std::regex_match(n.text, kPage); })) {
          for (auto& n : bar) {
            if (n.className == "UIButton" && (!found || n.frame.origin.x > found->frame.origin.x))
              found = n;
          }
        }
      }
      if (const Value* children = view.find("children"); children && children->isList()) {
        for (const Value& child : children->asList()) visit(child);
      }
    };
    visit(resultOf(request(host, R"("viewTree":null)")));
    return found;
  }
  // The album list's rows shown, top to bottom, each with its labels' texts
  // as its text.
  std::vector<Node> albumRows(HostSession& host) {
    std::vector<Node> found;
    std::function<void(const Value&)> visit = [&](const Value& view) {
      if (!view.isMap()) return;
      const Value* c = view.find("class");
      if (c && c->isString() && c->asString() == "AKAssetGroupCell") {
        std::vector<Node> nodes;
        flatten(view, nodes);
        if (nodes[0].hidden) return;
        Node row = nodes[0];
        row.text.clear();
        for (size_t i = 1; i < nodes.size(); ++i) {
          if (nodes[i].className == "UILabel")
            row.text += (row.text.empty() ? "" : " ") + nodes[i].text;
        }
        found.push_back(row);
        return;
      }
      if (const Value* children = view.find("children"); children && children->isList()) {
        for (const Value& child : children->asList()) visit(child);
      }
    };
    visit(resultOf(request(host, R"("viewTree":null)")));
    std::sort(found.begin(), found.end(),
              [](const Node& a, const Node& b) { return a.frame.origin.y < b.frame.origin.y; });
    return found;
  }
  bool touch(HostSession& host, const std::string& touch) {
    auto reply = request(host, R"("touch":)" + touch);
    EXPECT_TRUE(reply && reply->find("result")) << touch << ": " << describe(reply);
    return reply && reply->find("result");
  }
  bool tap(HostSession& host, CGPoint at) {
    return touch(host, R"({"kind":"tap","point":)" + pointJSON(at) + "}");
  }
  bool longPress(HostSession& host, CGPoint at) {
    return touch(host, R"({"kind":"longPress","point":)" + pointJSON(at) + "}");
  }
  bool drag(HostSession& host, const std::vector<CGPoint>& path) {
    std::string points;
    for (const auto& p : path) points += (points.empty() ? "" : ",") + pointJSON(p);
    return touch(host, R"({"kind":"drag","duration":0.3,"path":[)" + points + "]}");
  }
  void keepSnapshot(HostSession& host, const TempFolder& scratch, const std::string& name) {
    const std::string path = scratch.path() + "/" + name;
    auto reply = request(host, R"("snapshot":")" + path + "\"");
    ASSERT_TRUE(reply && reply->find("result")) << describe(reply);
    EXPECT_EQ(readFile(path).substr(1, 3), "PNG");
    if (const char* dir = std::getenv("QX_SNAPSHOT_DIR")) {
      std::ofstream(std::string(dir) + "/" + name, std::ios::binary) << readFile(path);
    }
  }

  int nextId_ = 100;
};

// Photos of known sizes, a video and another photo, a day apart: the grid
// shows them newest first (d.jpg, c.mp4, b.png, a.jpg).
std::string makeLibrary(const TempFolder& scratch) {
  const std::string library = scratch.makeFolder("library");
  EXPECT_TRUE(WriteFixtureImage(library + "/a.jpg", "public.jpeg", 64, 48, 1, std::nullopt,
                                "2020:01:01 00:00:00"));
  EXPECT_TRUE(WriteFixtureImage(library + "/b.png", "public.png", 40, 40, 1, std::nullopt,
                                "2020:01:02 00:00:00"));
  EXPECT_TRUE(WriteFixtureVideo(library + "/c.mp4", 32, 32, 5, "2020-01-03T00:00:00Z"));
  EXPECT_TRUE(WriteFixtureImage(library + "/d.jpg", "public.jpeg", 48, 64, 1, std::nullopt,
                                "2020:01:04 00:00:00"));
  return library;
}

// One album of eight photos a day apart: the grid shows trip8.png first and
// trip1.png last.
std::string makeTripLibrary(const TempFolder& scratch) {
  const std::string library = scratch.makeFolder("library");
  const std::string album = scratch.makeFolder("library/Trip");
  for (int i = 1; i <= 8; ++i) {
    EXPECT_TRUE(WriteFixtureImage(album + "/trip" + std::to_string(i) + ".png", "public.png",
                                  30 + i, 30, 1, std::nullopt,
                                  "2020:01:0" + std::to_string(i) + " 00:00:00"));
  }
  return library;
}

TEST_F(MediaRoadHost, LongPressIntoTheGallerySwipeDismissThenSelectTwoAndFinish) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string library = makeLibrary(scratch);
  const std::string errors = scratch.path() + "/host.err";
  HostSession host({"QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + library,
                    "QX_SYSTEM_VERSION=13.7", kExitWaitSetting},
                   errors);
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(request(host, R"("channel":")" + kEvents + R"(","listen":null)"));
  host.send(R"({"id":2,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true,"withData":true}})");

  idle(host);
  auto cells = assetCells(host);
  ASSERT_EQ(cells.size(), 4u) << readFile(errors);
  const std::vector<std::string> kinds = {"Image", "Video", "Image", "Image"};
  for (size_t i = 0; i < kinds.size(); ++i) {
    EXPECT_EQ(cells[i].className, "AKAssetGroupDetail" + kinds[i] + "Cell") << i;
  }

  // A long press on the newest photo opens the gallery at its page.
  ASSERT_TRUE(longPress(host, centre(cells[0])));
  idle(host);
  ASSERT_EQ(galleryTitle(host), "1/4") << readFile(errors);
  keepSnapshot(host, scratch, "host-media-road-gallery.png");

  // A finger across the photo from right to left turns to the next page:
  // the photo page's own scroll view hands a drag it cannot follow to the
  // pager around it.
  ASSERT_TRUE(drag(host, {{330, 420}, {195, 420}, {60, 420}}));
  idle(host);
  EXPECT_EQ(galleryTitle(host), "2/4") << "the swipe turns the page";

  // Dragged down, the gallery leaves and the grid is back.
  ASSERT_TRUE(drag(host, {{195, 300}, {195, 450}, {195, 700}}));
  idle(host);
  EXPECT_EQ(galleryTitle(host), std::nullopt);
  cells = assetCells(host);
  ASSERT_EQ(cells.size(), 4u);

  // b.png, then a.jpg.
  ASSERT_TRUE(tap(host, centre(cells[2])));
  ASSERT_TRUE(tap(host, centre(cells[3])));
  idle(host);
  cells = assetCells(host);
  ASSERT_EQ(cells.size(), 4u);
  const bool selected[] = {false, false, true, true};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(cells[i].selected, selected[i]) << i;
  auto done = buttonsTitled(host, "Done (2)");
  ASSERT_EQ(done.size(), 1u) << "the done button counts the selection";
  keepSnapshot(host, scratch, "host-media-road-grid.png");
  ASSERT_TRUE(tap(host, centre(done[0])));

  auto reply = host.reply(2, kWait);
  ASSERT_TRUE(reply) << readFile(errors);
  const Value& files = resultOf(reply);
  ASSERT_TRUE(files.isList()) << reply->description();
  ASSERT_EQ(files.size(), 2u);
  struct Original {
    const char* name;
    double width, height;
  };
  const Original originals[] = {{"b.png", 40, 40}, {"a.jpg", 64, 48}};
  for (size_t i = 0; i < 2; ++i) {
    const Value& entry = files.asList()[i];
    const std::string path = entry.find("path")->asString();
    const std::string contents = readFile(path);
    // Without compression each photo is a copy of its original.
    EXPECT_EQ(contents, readFile(library + "/" + originals[i].name)) << path;
    auto image = UIImage::imageWithContentsOfFile(path);
    ASSERT_TRUE(image) << path;
    EXPECT_EQ(image->size().width, originals[i].width) << path;
    EXPECT_EQ(image->size().height, originals[i].height) << path;
    EXPECT_EQ(path.rfind(container, 0), 0u)
        << "exported inside the application's container: " << path;
    EXPECT_EQ(entry.find("name")->asString(), originals[i].name);
    EXPECT_EQ(entry.find("size")->asInt64(), int64_t(contents.size()));
    EXPECT_EQ(entry.find("identifier")->asString(), NSURL::fileURLWithPath(path)->absoluteString());
    auto bytes = Base64Decode(entry.find("bytes")->find("$bytes")->asString());
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), contents);
  }
  idle(host);
  EXPECT_TRUE(assetCells(host).empty()) << "the picker has left the screen";
  EXPECT_EQ(host.events(), (std::vector<Value>{Value(true), Value(false)}));

  // The picker on screen again when the input ends: the host gives the
  // unanswerable request up and exits cleanly.
  host.send(R"({"id":3,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true}})");
  idle(host);
  EXPECT_EQ(assetCells(host).size(), 4u);
  const int status = host.finish(kTestTimeoutSeconds);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << readFile(errors);
  EXPECT_NE(readFile(errors).find("host: 1 request(s) still unanswered at exit"),
            std::string::npos);
}

namespace {

// Red, green, blue and white quadrants of tiles (as the tile's top-left
// corner falls) of an 8194 x 8192 grid.
constexpr uint32_t kBigWidth = 8194, kBigHeight = 8192;
uint32_t QuadrantColour(uint32_t column, uint32_t row) {
  const bool right = column * 512 >= kBigWidth / 2, bottom = row * 512 >= kBigHeight / 2;
  return right ? (bottom ? 0xFFFFFF : 0x00FF00) : (bottom ? 0x0000FF : 0xFF0000);
}

std::array<uint8_t, 4> Quadrant(bool right, bool bottom) {
  const uint32_t c = QuadrantColour(right ? 16 : 0, bottom ? 15 : 0);
  return {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), 255};
}

// Whether the image shows the quadrants within `frame` (its own pixels when
// not given), each looked at halfway into it.
testing::AssertionResult ShowsQuadrants(const CGImageRef& image, CGRect frame) {
  if (!image) return testing::AssertionFailure() << "no image";
  for (const bool bottom : {false, true}) {
    for (const bool right : {false, true}) {
      const size_t x = size_t(frame.origin.x + frame.size.width * (right ? 0.75 : 0.25));
      const size_t y = size_t(frame.origin.y + frame.size.height * (bottom ? 0.75 : 0.25));
      const auto pixel = il_test::PixelAt(image, x, y);
      if (!il_test::Near(pixel, Quadrant(right, bottom), 40)) {
        return testing::AssertionFailure()
               << (bottom ? "bottom " : "top ") << (right ? "right" : "left") << " is "
               << int(pixel[0]) << "," << int(pixel[1]) << "," << int(pixel[2]);
      }
    }
  }
  return testing::AssertionSuccess();
}

}  // namespace

// A photo past the full-decode limit as phones write it (a grid of 512-pixel
// tiles, with only a thumbnail too small for a cell) shows in its cell and in
// the gallery, and the compatible export writes its picture as a JPEG.
TEST_F(MediaRoadHost, ALargeGridPhotoShowsInTheGridAndGalleryAndExportsAsJPEG) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string library = scratch.makeFolder("library");
  const Bytes heic = MakeHEICGrid({.width = kBigWidth, .height = kBigHeight,
                                   .colourOf = QuadrantColour, .thumbnailWidth = 320,
                                   .thumbnailHeight = 320});
  ASSERT_FALSE(heic.empty());
  std::ofstream(library + "/big.heic", std::ios::binary)
      .write(reinterpret_cast<const char*>(heic.data()), std::streamsize(heic.size()));
  const std::string errors = scratch.path() + "/host.err";
  HostSession host({"QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + library,
                    "QX_SYSTEM_VERSION=13.7", kExitWaitSetting},
                   errors);
  ASSERT_TRUE(host.started());
  host.send(R"({"id":2,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true,"compressionQuality":50}})");
  // The library is indexed off the main thread: the screen may be idle
  // before the grid has its cell.
  idle(host);
  for (int i = 0; i < 40 && assetCells(host).size() != 1; ++i) idle(host);
  auto cells = assetCells(host);
  ASSERT_EQ(cells.size(), 1u) << readFile(errors);
  const std::vector<Node> tree = viewTree(host);
  ASSERT_FALSE(tree.empty());
  // Whether the screen shows the picture within the frame `frameOf` finds
  // (points). The photo's decodes run on workers and may fill the view
  // after the screen was idle: looked at again after each idle until it
  // shows. Each decode of a picture this large takes a CPU second or more:
  // on a busy machine the grid's, its preheating's and the gallery's may
  // take minutes.
  auto showsPicture = [&](const std::string& name,
                          const std::function<std::optional<CGRect>()>& frameOf) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(6 * kWait);
    testing::AssertionResult shown = testing::AssertionFailure() << "no view shows it";
    do {
      idle(host);
      const std::optional<CGRect> found = frameOf();
      if (!found) continue;
      const CGRect frame = *found;
      keepSnapshot(host, scratch, name);
      CGImageRef shot = CGImageSourceCreateImageAtIndex(
          CGImageSourceCreateWithURL(scratch.path() + "/" + name), 0);
      if (!shot) return testing::AssertionFailure() << "no snapshot";
      const double scale = double(shot->width()) / tree[0].frame.size.width;
      shown = ShowsQuadrants(shot, CGRectMake(frame.origin.x * scale, frame.origin.y * scale,
                                              frame.size.width * scale,
                                              frame.size.height * scale));
    } while (!shown && std::chrono::steady_clock::now() < until);
    return shown;
  };
  // The cell shows the whole picture (aspect fill of a nearly square one),
  // after the thumbnail, too small for it, showed first.
  EXPECT_TRUE(showsPicture("host-large-heic-grid.png",
                          [&] { return std::optional<CGRect>(cells[0].frame); }))
      << readFile(errors);

  // The gallery shows it fitted to the screen's width.
  ASSERT_TRUE(longPress(host, centre(cells[0])));
  idle(host);
  ASSERT_EQ(galleryTitle(host), "1/1") << readFile(errors);
  // Where the photo must show: fitted to the screen's width, in the middle
  // of the page. Looked for in the picture a person sees rather than in a
  // view of some class: the page shows the grid's thumbnail in a view of its
  // own until its decode lands, then the photo in its own image view.
  auto photoFrame = [&]() -> std::optional<CGRect> {
    const CGSize screen = tree[0].frame.size;
    const double height = screen.width * kBigHeight / kBigWidth;
    return CGRectMake(0, (screen.height - height) / 2, screen.width, height);
  };
  EXPECT_TRUE(showsPicture("host-large-heic-gallery.png", photoFrame)) << readFile(errors);
  ASSERT_TRUE(drag(host, {{195, 300}, {195, 450}, {195, 700}}));
  idle(host);
  ASSERT_EQ(galleryTitle(host), std::nullopt);

  // Selected and done: a JPEG of the picture, within the full-decode limit.
  cells = assetCells(host);
  ASSERT_EQ(cells.size(), 1u);
  ASSERT_TRUE(tap(host, centre(cells[0])));
  idle(host);
  auto done = buttonsTitled(host, "Done (1)");
  ASSERT_EQ(done.size(), 1u);
  ASSERT_TRUE(tap(host, centre(done[0])));
  // The export decodes the whole picture and encodes 64 Mi pixels: under the
  // thread sanitizer on a busy machine that takes minutes, as the decodes
  // above may.
  auto reply = host.reply(2, 6 * kWait);
  ASSERT_TRUE(reply) << readFile(errors);
  const Value& files = resultOf(reply);
  ASSERT_TRUE(files.isList() && files.size() == 1u) << reply->description() << readFile(errors);
  const std::string path = files.asList()[0].find("path")->asString();
  EXPECT_TRUE(path.ends_with(".jpg")) << path;
  CGImageSourceRef exported = CGImageSourceCreateWithURL(path);
  ASSERT_TRUE(exported) << path;
  ASSERT_EQ(CGImageSourceGetType(exported), "public.jpeg");
  const Value properties = CGImageSourceCopyPropertiesAtIndex(exported, 0);
  const Value* width = properties.find(kCGImagePropertyPixelWidth);
  const Value* height = properties.find(kCGImagePropertyPixelHeight);
  ASSERT_TRUE(width && height);
  EXPECT_EQ(width->asInt64() * height->asInt64() <= int64_t(kImageMaxPixels), true);
  EXPECT_GE(width->asInt64(), 8190);
  CGImageRef small = CGImageSourceCreateThumbnailAtIndex(
      exported, 0,
      Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                  {kCGImageSourceThumbnailMaxPixelSize, 256}}));
  ASSERT_TRUE(small);
  EXPECT_TRUE(ShowsQuadrants(small, CGRectMake(0, 0, small->width(), small->height())));
  const int status = host.finish(kTestTimeoutSeconds);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << readFile(errors);
}

// Playback that goes on by itself (a video playing, a looping GIF) leaves the
// screen idle: otherwise a tool could never look at such a page.
TEST_F(MediaRoadHost, IdleAnswersWhileAVideoOrAGifPlaysOnItsGalleryPage) {
  for (const bool video : {true, false}) {
    SCOPED_TRACE(video ? "video" : "gif");
    TempFolder scratch;
    const std::string library = scratch.makeFolder("library");
    ASSERT_TRUE(WriteFixtureImage(library + "/a.jpg", "public.jpeg", 64, 48, 1, std::nullopt,
                                  "2020:01:01 00:00:00"));
    if (video) {
      // Longer than the idle request's limit, at 10 frames a second.
      ASSERT_TRUE(WriteFixtureVideo(library + "/long.mp4", 32, 32, 450, "2020-01-03T00:00:00Z"));
    } else {
      // Looping for ever, a frame every 50 ms; newer than the photo, so first.
      auto gif = il_test::AnimatedFile(
          "com.compuserve.gif", {{{255, 0, 0, 255}, 0.05}, {{0, 0, 255, 255}, 0.05}}, 32, 32);
      ASSERT_TRUE(gif && gif->writeToFile(library + "/loop.gif", true));
    }
    const std::string errors = scratch.path() + "/host.err";
    HostSession host({"QX_APP_HOME=" + scratch.makeFolder("container"),
                      "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7"},
                     errors);
    ASSERT_TRUE(host.started());
    host.send(R"({"id":2,"channel":")" + kChannel +
              R"(","method":"media","args":{"allowMultipleSelection":true}})");
    idle(host);
    auto cells = assetCells(host);
    ASSERT_EQ(cells.size(), 2u) << readFile(errors);
    ASSERT_TRUE(longPress(host, centre(cells[0])));
    idle(host);
    ASSERT_EQ(galleryTitle(host), "1/2") << readFile(errors);
    if (!video) continue;
    // The page's play button, in the middle of the screen.
    ASSERT_TRUE(tap(host, CGPointMake(195, 422)));
    idle(host);
    // Still playing: the bar's play/pause button shows pause.
    std::vector<Node> bar;
    for (auto& n : viewTree(host)) {
      if (n.className == "UIButton" && n.frame.origin.y == 770 && n.frame.origin.x == 20)
        bar.push_back(n);
    }
    ASSERT_EQ(bar.size(), 1u);
    EXPECT_TRUE(bar[0].selected) << "the video plays on after the idle answer";
  }
}

// Photos deleted while the gallery shows their album: the drag down still
// closes it and the pick is answered, and the select button acts on the
// photo its page shows, wherever the album has it now, or on nothing once
// that photo has gone. A host per case, all driven step by step together.
TEST_F(MediaRoadHost, TheGalleryOfAnAlbumThatLostPhotosClosesAndSelectsWhatItShows) {
  std::vector<std::string> everyPhoto;
  for (int i = 1; i <= 8; ++i) everyPhoto.push_back("Trip/trip" + std::to_string(i) + ".png");
  struct Case {
    const char* what;
    size_t pressed;                    // the grid cell long-pressed
    std::vector<std::string> removed;  // below the library folder ("": the folder itself)
    size_t cellsLeft;
    std::string pressShows;     // the select button after a press on the page
    std::string nextPageShows;  // after a swipe on and a press there (none when empty)
    std::vector<std::string> answer;
  };
  const Case cases[] = {
      {"another photo deleted on the last page",
       7,
       {"Trip/trip3.png"},
       7,
       "1 selected",
       "",
       {"trip1.png"}},
      {"every photo deleted on the last page", 7, everyPhoto, 0, "", "", {}},
      {"the album's folder removed", 7, {"Trip"}, 0, "", "", {}},
      {"the library's folder removed on the first page", 0, {""}, 0, "", "", {}},
      {"the shown photo deleted", 2, {"Trip/trip6.png"}, 7, "", "1 selected", {"trip5.png"}},
      // trip5.png now has the page's album index: it must stay unpicked.
      {"the shown photo deleted, its page's button pressed", 2, {"Trip/trip6.png"}, 7, "", "", {}},
  };
  struct Run {
    explicit Run(const Case& c) : c(c) {}
    const Case& c;
    std::vector<std::string> assets;  // the grid's, as it was before the deletions
    TempFolder scratch;
    std::string library = makeTripLibrary(scratch), errors = scratch.path() + "/host.err";
    HostSession host{{"QX_APP_HOME=" + scratch.makeFolder("container"),
                      "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7"},
                     errors};
  };
  std::list<Run> runs;
  for (const Case& c : cases) {
    runs.emplace_back(c);
    ASSERT_TRUE(runs.back().host.started());
    runs.back().host.send(R"({"id":1,"channel":")" + kChannel +
                          R"(","method":"media","args":{"allowMultipleSelection":true}})");
  }
  // A request to every host that `members` gives one for, then every reply.
  auto everywhere = [&](const std::function<std::string(Run&)>& members, double wait = kWait) {
    std::vector<std::pair<Run*, int>> sent;
    for (Run& run : runs) {
      const std::string m = members(run);
      if (m.empty()) continue;
      run.host.send(R"({"id":)" + std::to_string(nextId_) + "," + m + "}");
      sent.emplace_back(&run, nextId_++);
    }
    for (auto& [run, id] : sent) {
      auto reply = run->host.reply(id, wait);
      EXPECT_TRUE(reply && reply->find("result"))
          << run->c.what << ": " << describe(reply) << readFile(run->errors);
    }
  };
  auto idleAll = [&] { everywhere([](Run&) { return std::string(R"("idle":null)"); }, kIdleWait); };
  auto touchAt = [](const char* kind, CGPoint at) {
    return std::string(R"("touch":{"kind":")") + kind + R"(","point":)" + pointJSON(at) + "}";
  };
  auto dragAlong = [](const std::string& path) {
    return R"("touch":{"kind":"drag","duration":0.3,"path":)" + path + "}";
  };
  auto selectShows = [&](Run& run) {
    auto button = selectButton(run.host);
    return button ? button->text + (button->selected ? " selected" : "") : "no button";
  };
  auto pressSelect = [&](Run& run) {
    auto button = selectButton(run.host);
    return button ? touchAt("tap", centre(*button)) : "";
  };

  idleAll();
  everywhere([&](Run& run) {
    auto cells = assetCells(run.host);
    EXPECT_EQ(cells.size(), 8u) << run.c.what << readFile(run.errors);
    if (cells.size() != 8) return std::string();
    for (const Node& cell : cells) run.assets.push_back(cell.label);
    return touchAt("longPress", centre(cells[run.c.pressed]));
  });
  idleAll();
  for (Run& run : runs) {
    ASSERT_EQ(galleryTitle(run.host), std::to_string(run.c.pressed + 1) + "/8") << run.c.what;
    for (const auto& gone : run.c.removed) {
      std::filesystem::remove_all(run.library + (gone.empty() ? "" : "/" + gone));
    }
  }
  // Each library notices in its own time; the grid under the gallery then
  // shows what is left.
  auto noticed = [&] {
    return std::all_of(runs.begin(), runs.end(),
                       [&](Run& run) { return assetCells(run.host).size() == run.c.cellsLeft; });
  };
  for (int i = 0; i < 40 && !noticed(); ++i) idleAll();
  ASSERT_TRUE(noticed());

  everywhere(pressSelect);
  for (Run& run : runs) EXPECT_EQ(selectShows(run), run.c.pressShows) << run.c.what;
  everywhere([&](Run& run) {
    return run.c.nextPageShows.empty() ? "" : dragAlong("[[330,420],[195,420],[60,420]]");
  });
  idleAll();
  everywhere([&](Run& run) { return run.c.nextPageShows.empty() ? "" : pressSelect(run); });
  for (Run& run : runs) {
    if (run.c.nextPageShows.empty()) continue;
    EXPECT_EQ(galleryTitle(run.host), std::to_string(run.c.pressed + 2) + "/8") << run.c.what;
    EXPECT_EQ(selectShows(run), run.c.nextPageShows) << run.c.what;
  }

  everywhere([&](Run&) { return dragAlong("[[195,380],[200,460],[205,640]]"); });
  // While the gallery closes, the only cell it may zoom into is its photo's:
  // never the cell of the photo that took a deleted one's place.
  for (Run& run : runs) {
    const size_t shown = run.c.pressed + (run.c.nextPageShows.empty() ? 0 : 1);
    for (const auto& target : zoomTargets(run.host)) {
      EXPECT_EQ(target, run.assets.at(shown)) << run.c.what << ": zooms into another photo's cell";
    }
  }
  idleAll();
  everywhere([&](Run& run) {
    EXPECT_EQ(galleryTitle(run.host), std::nullopt) << run.c.what;
    const size_t n = run.c.answer.size();
    auto done = buttonsTitled(run.host, n == 0 ? "Done" : "Done (" + std::to_string(n) + ")");
    EXPECT_EQ(done.size(), 1u) << run.c.what;
    return done.empty() ? "" : touchAt("tap", centre(done[0]));
  });
  for (Run& run : runs) {
    auto reply = run.host.reply(1, kWait);
    ASSERT_TRUE(reply && resultOf(reply).isList())
        << run.c.what << ": " << describe(reply) << readFile(run.errors);
    std::vector<std::string> names;
    for (const Value& file : resultOf(reply).asList())
      names.push_back(file.find("name")->asString());
    EXPECT_EQ(names, run.c.answer) << run.c.what;
    EXPECT_EQ(run.host.finish(kWait), 0) << run.c.what << readFile(run.errors);
  }
}

// The album list opened from the grid's title button: its counts follow a
// photo deleted while it is open, and again once it is closed and reopened.
TEST_F(MediaRoadHost, TheAlbumListCountsFollowAPhotoDeletedWhileOpenAndWhenReopened) {
  TempFolder scratch;
  const std::string library = scratch.makeFolder("library");
  const std::string pets = scratch.makeFolder("library/Pets");
  const std::string trips = scratch.makeFolder("library/Trips");
  int day = 1;
  auto photo = [&](const std::string& file) {
    EXPECT_TRUE(WriteFixtureImage(file, "public.png", 32, 32, 1, std::nullopt,
                                  "2020:01:0" + std::to_string(day++) + " 00:00:00"));
  };
  for (const auto& file : {library + "/a.png", library + "/b.png", pets + "/cat.png",
                           pets + "/dog.png", trips + "/t1.png", trips + "/t2.png",
                           trips + "/t3.png"}) {
    photo(file);
  }
  const std::string errors = scratch.path() + "/host.err";
  HostSession host({"QX_APP_HOME=" + scratch.makeFolder("container"),
                    "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7", kExitWaitSetting},
                   errors);
  ASSERT_TRUE(host.started());
  host.send(R"({"id":1,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true}})");
  idle(host);
  ASSERT_EQ(assetCells(host).size(), 7u) << readFile(errors);

  // Each row of the album list: its labels' texts, top to bottom.
  auto rows = [&] {
    std::vector<std::string> texts;
    for (const Node& row : albumRows(host)) texts.push_back(row.text);
    return texts;
  };
  // The grid's title button names the album shown, with an arrow after it.
  auto openList = [&] {
    std::vector<Node> title;
    for (auto& n : viewTree(host)) {
      if (n.className == "UIButton" && !n.hidden && n.text.rfind("Recents", 0) == 0) title.push_back(n);
    }
    EXPECT_EQ(title.size(), 1u);
    if (title.size() != 1) return false;
    const bool tapped = tap(host, centre(title[0]));
    idle(host);
    return tapped;
  };
  const std::vector<std::string> before = {"Recents 7", "Videos 0", "Favorites 0", "Pets 2",
                                           "Trips 3"};
  const std::vector<std::string> after = {"Recents 6", "Videos 0", "Favorites 0", "Pets 2",
                                          "Trips 2"};
  ASSERT_TRUE(openList());
  ASSERT_EQ(rows(), before) << readFile(errors);

  // The newest photo of Trips deleted: the grid under the list, which shows
  // Recents, notices in its own time; the open list then counts it gone.
  std::filesystem::remove(trips + "/t3.png");
  for (int i = 0; i < 40 && assetCells(host).size() != 6; ++i) idle(host);
  ASSERT_EQ(assetCells(host).size(), 6u);
  EXPECT_EQ(rows(), after) << "the open list";

  // Closed by a tap beside it, and opened again.
  ASSERT_TRUE(tap(host, CGPointMake(195, 800)));
  idle(host);
  ASSERT_TRUE(rows().empty()) << "the list has closed";
  ASSERT_TRUE(openList());
  EXPECT_EQ(rows(), after) << "the list opened again";
  EXPECT_EQ(host.finish(kWait), 0) << readFile(errors);
}

// The album list opens and closes as a screen is presented and dismissed:
// the window takes no finger meanwhile. The second tap of a double tap on the
// grid's title comes while the list opens and leaves it open; the later taps
// of a triple tap on an album come while it closes and reach neither the list
// nor the photo it uncovers.
TEST_F(MediaRoadHost, QuickTapsOnTheAlbumTitleOrAnAlbumGoNoFurtherThanTheirFirst) {
  TempFolder scratch;
  const std::string library = makeTripLibrary(scratch);
  const std::string errors = scratch.path() + "/host.err";
  HostSession host({"QX_APP_HOME=" + scratch.makeFolder("container"), "QX_PHOTO_LIBRARY=" + library,
                    "QX_SYSTEM_VERSION=13.7", kExitWaitSetting},
                   errors);
  ASSERT_TRUE(host.started());
  host.send(R"({"id":1,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true}})");
  // The library's index is built off the main thread, which idle does not
  // wait for.
  for (int i = 0; i < 40 && assetCells(host).size() != 8; ++i) idle(host);
  ASSERT_EQ(assetCells(host).size(), 8u) << readFile(errors);
  std::optional<Node> title;
  for (auto& n : viewTree(host)) {
    if (n.className == "UIButton" && !n.hidden && n.text.rfind("Recents", 0) == 0) title = n;
  }
  ASSERT_TRUE(title);
  ASSERT_TRUE(touch(host, R"({"kind":"tap","count":2,"point":)" + pointJSON(centre(*title)) + "}"));
  idle(host);
  auto rows = albumRows(host);
  ASSERT_EQ(rows.size(), 4u) << "the list stays open";
  keepSnapshot(host, scratch, "host-album-list-double-tap.png");

  const Node trip = rows.back();
  ASSERT_EQ(trip.text, "Trip 8");
  ASSERT_TRUE(touch(host, R"({"kind":"tap","count":3,"point":)" + pointJSON(centre(trip)) + "}"));
  idle(host);
  EXPECT_TRUE(albumRows(host).empty()) << "the list has closed";
  EXPECT_EQ(buttonsTitled(host, "Trip  \u25BE").size(), 1u) << "the grid shows the album";
  EXPECT_EQ(buttonsTitled(host, "Done").size(), 1u) << "no photo selected";
  keepSnapshot(host, scratch, "host-album-list-triple-tap.png");
  // A photo lay under the row: a tap there now selects it.
  ASSERT_TRUE(tap(host, centre(trip)));
  idle(host);
  EXPECT_EQ(buttonsTitled(host, "Done (1)").size(), 1u);

  // Taps sent one after the other, with no pause: each waits for the list to
  // open or close, then lands on what is on screen then. The list opens,
  // Recents is chosen, and the photo uncovered under its row is selected.
  title = std::nullopt;
  for (auto& n : viewTree(host)) {
    if (n.className == "UIButton" && !n.hidden && n.text.rfind("Trip", 0) == 0) title = n;
  }
  ASSERT_TRUE(title);
  ASSERT_TRUE(tap(host, centre(*title)));
  ASSERT_TRUE(tap(host, centre(rows.front())));
  ASSERT_TRUE(tap(host, centre(rows.front())));
  idle(host);
  EXPECT_TRUE(albumRows(host).empty());
  EXPECT_EQ(buttonsTitled(host, "Recents  \u25BE").size(), 1u);
  EXPECT_EQ(buttonsTitled(host, "Done (2)").size(), 1u);
  EXPECT_EQ(host.finish(kWait), 0) << readFile(errors);
}

// While it loads, the album list answers twice, and each answer sets the
// grid's title and title view again. A finger resting on Cancel meanwhile
// still cancels, and the call is answered. Twenty thousand photos keep the
// list loading (their index being built) well past the moment the finger
// comes down, once the picker has slid in.
TEST_F(MediaRoadHost, CancelHeldWhileTheAlbumListLoadsAnswersTheCall) {
  TempFolder scratch;
  const std::string library = scratch.makeFolder("library");
  ASSERT_TRUE(WriteFixtureImage(library + "/p0.jpg", "public.jpeg", 8, 8));
  const std::string photo = readFile(library + "/p0.jpg");
  for (int i = 1; i < 20000; ++i) {
    std::ofstream(library + "/p" + std::to_string(i) + ".jpg", std::ios::binary) << photo;
  }
  const std::string errors = scratch.path() + "/host.err";
  HostSession host({"QX_APP_HOME=" + scratch.makeFolder("container"), "QX_PHOTO_LIBRARY=" + library,
                    "QX_SYSTEM_VERSION=13.7", kExitWaitSetting},
                   errors);
  ASSERT_TRUE(host.started());
  host.send(R"({"id":1,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true}})");
  // Cancel, at the left end of the grid's bar.
  ASSERT_TRUE(touch(host, R"({"kind":"longPress","point":[45,79],"duration":3})"));
  auto reply = host.reply(1, kWait);
  ASSERT_TRUE(reply && reply->find("result")) << describe(reply) << readFile(errors);
  EXPECT_EQ(resultOf(reply), Value());
  idle(host);
  EXPECT_TRUE(buttonsTitled(host, "Cancel").empty()) << "the picker has left the screen";
  EXPECT_EQ(host.finish(kWait), 0) << readFile(errors);
}

// The gallery's QR code screen is pushed over the page: a double tap on its
// back button goes back to the page only, its second tap coming while the
// screen slides away. The gallery's own back arrow then closes it.
TEST_F(MediaRoadHost, ADoubleTapOnTheQRCodeScreensBackButtonGoesBackToThePageOnly) {
  TempFolder scratch;
  const std::string library = scratch.makeFolder("library");
  const std::string code =
      readFile(std::string(std::getenv("QX_TEST_DATA")) + "/coreimage/qr-text.png");
  ASSERT_FALSE(code.empty());
  std::ofstream(library + "/code.png", std::ios::binary) << code;
  const std::string errors = scratch.path() + "/host.err";
  HostSession host({"QX_APP_HOME=" + scratch.makeFolder("container"), "QX_PHOTO_LIBRARY=" + library,
                    "QX_SYSTEM_VERSION=13.7", kExitWaitSetting},
                   errors);
  ASSERT_TRUE(host.started());
  host.send(R"({"id":1,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true}})");
  idle(host);
  auto cells = assetCells(host);
  ASSERT_EQ(cells.size(), 1u) << readFile(errors);
  ASSERT_TRUE(longPress(host, centre(cells[0])));
  idle(host);
  ASSERT_EQ(galleryTitle(host), "1/1");

  // A long press on the page offers the code; taking it pushes its screen,
  // whose back button is named after the page.
  auto textNamed = [&](const std::string& text) {
    std::optional<Node> found;
    for (auto& n : viewTree(host)) {
      if (!n.hidden && n.text == text) found = n;
    }
    return found;
  };
  ASSERT_TRUE(longPress(host, CGPointMake(195, 422)));
  idle(host);
  auto extract = textNamed("Extract QR Code");
  ASSERT_TRUE(extract) << readFile(errors);
  ASSERT_TRUE(tap(host, centre(*extract)));
  idle(host);
  ASSERT_TRUE(textNamed("QR Code"));
  auto back = buttonsTitled(host, " 1/1");
  ASSERT_EQ(back.size(), 1u);
  ASSERT_TRUE(
      touch(host, R"({"kind":"tap","count":2,"point":)" + pointJSON(centre(back[0])) + "}"));
  idle(host);
  EXPECT_FALSE(textNamed("QR Code")) << "the code's screen has gone";
  EXPECT_EQ(galleryTitle(host), "1/1") << "the gallery stays";

  ASSERT_TRUE(tap(host, CGPointMake(28, 69)));
  idle(host);
  EXPECT_EQ(galleryTitle(host), std::nullopt);
  auto cancel = buttonsTitled(host, "Cancel");
  ASSERT_EQ(cancel.size(), 1u);
  ASSERT_TRUE(tap(host, centre(cancel[0])));
  auto reply = host.reply(1, kWait);
  ASSERT_TRUE(reply && reply->find("result")) << describe(reply);
  EXPECT_EQ(resultOf(reply), Value());
  EXPECT_EQ(host.finish(kWait), 0) << readFile(errors);
}

TEST_F(MediaRoadHost, PhotosTappedInTheGridAreExportedAndDescribedInTheReply) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string library = makeLibrary(scratch);
  HostSession host(
      {"QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7"},
      scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  host.send(R"({"id":2,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true}})");
  idle(host);
  auto cells = assetCells(host);
  ASSERT_EQ(cells.size(), 4u);
  // The video, then the newest photo: the done button counts each at once.
  ASSERT_TRUE(tap(host, centre(cells[1])));
  EXPECT_EQ(buttonsTitled(host, "Done (1)").size(), 1u);
  ASSERT_TRUE(tap(host, centre(cells[0])));
  auto done = buttonsTitled(host, "Done (2)");
  ASSERT_EQ(done.size(), 1u);
  ASSERT_TRUE(tap(host, centre(done[0])));
  auto reply = host.reply(2, kWait);
  const Value& files = resultOf(reply);
  ASSERT_EQ(files.size(), 2u) << describe(reply);
  // The video is exported through its container as it is: same streams.
  const std::string video = files.asList()[0].find("path")->asString();
  EXPECT_EQ(FixtureStreamTypes(video), FixtureStreamTypes(library + "/c.mp4")) << video;
  EXPECT_EQ(readFile(files.asList()[1].find("path")->asString()), readFile(library + "/d.jpg"));
  EXPECT_EQ(host.finish(kWait), 0);
}

// A compatible export of a HEIC that cannot be decoded: the reply names its
// own data, never a JPEG made of a picture that was not there; a good HEIC
// picked with it still comes as JPEG.
TEST_F(MediaRoadHost, AHEICThatCannotBeDecodedIsExportedAsItsOwnData) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string library = scratch.makeFolder("library");
  NSDataPtr broken = il_test::UndecodableHEIC(64, 48);
  ASSERT_TRUE(broken && broken->writeToFile(library + "/broken.heic", true));
  ASSERT_TRUE(WriteFixtureImage(library + "/good.heic", "public.heic", 64, 48));
  HostSession host(
      {"QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7"},
      scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  host.send(R"({"id":2,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true,"compressionQuality":50}})");
  idle(host);
  auto cells = assetCells(host);
  ASSERT_EQ(cells.size(), 2u) << readFile(scratch.path() + "/host.err");
  ASSERT_TRUE(tap(host, centre(cells[0])));
  ASSERT_TRUE(tap(host, centre(cells[1])));
  auto done = buttonsTitled(host, "Done (2)");
  ASSERT_EQ(done.size(), 1u);
  ASSERT_TRUE(tap(host, centre(done[0])));
  auto reply = host.reply(2, kWait);
  const Value& files = resultOf(reply);
  ASSERT_EQ(files.size(), 2u) << describe(reply);
  std::vector<std::string> kept, converted;
  for (const Value& file : files.asList()) {
    const std::string path = file.find("path")->asString();
    const std::string bytes = readFile(path);
    if (bytes == std::string(broken->vector().begin(), broken->vector().end())) {
      kept.push_back(path);
    } else {
      converted.push_back(path);
      EXPECT_EQ(path.substr(path.size() - 4), ".jpg") << path;
      EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8") << path;
      EXPECT_TRUE(UIImage::imageWithContentsOfFile(path)) << path;
    }
  }
  ASSERT_EQ(kept.size(), 1u) << describe(reply);
  EXPECT_EQ(kept[0].substr(kept[0].size() - 5), ".heic") << kept[0];
  EXPECT_EQ(converted.size(), 1u) << describe(reply);
  EXPECT_EQ(host.finish(kWait), 0);
}

// The most the host has held in memory so far (its resident peak).
size_t peakResidentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
}

// HEIC photos of 960 x 720 with a thumbnail item of the same picture, one
// item of each (the thumbnail, the image, an alpha added to the image) led
// by parameter sets of a 16000 x 12000 picture: its decode would cost the
// host gigabytes. The grid shows each from an item that tells the truth,
// and the picked files are exported as they are.
TEST_F(MediaRoadHost, PhotosWhoseItemsAnnounceHugePicturesCostTheGridNothingOfThem) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string library = scratch.makeFolder("library");
  const std::string plain = scratch.path() + "/plain.heic";
  ASSERT_TRUE(WriteFixtureImage(plain, "public.heic", 960, 720));
  const std::string encoded = readFile(plain);
  // Item 200 is the thumbnail: the image's own coded picture again.
  const auto write = [&](const std::string& name, const std::function<bool(HEIFLayout&)>& lie) {
    HEIFLayout layout = HEIFLayoutRead(Bytes(encoded.begin(), encoded.end()));
    HEIFLayoutItem* image = layout.item(layout.primary);
    ASSERT_TRUE(image && image->type == "hvc1");
    HEIFLayoutItem thumbnail = *image;
    thumbnail.id = 200;
    layout.items.push_back(thumbnail);
    layout.references.push_back({"thmb", 200, {layout.primary}});
    ASSERT_TRUE(lie(layout));
    const Bytes file = HEIFLayoutWrite(layout);
    std::ofstream(library + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  };
  write("thumbnail.heic",
        [](HEIFLayout& l) { return HEIFLayoutLeadWithParameterSets(l, 200, 16000, 12000); });
  write("image.heic",
        [](HEIFLayout& l) { return HEIFLayoutLeadWithParameterSets(l, l.primary, 16000, 12000); });
  write("alpha.heic", [](HEIFLayout& l) { return HEIFLayoutAddAlpha(l, l.primary, 16000, 12000); });
  HostSession host(
      {"QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7"},
      scratch.path() + "/host.err");
  ASSERT_TRUE(host.started());
  host.send(R"({"id":2,"channel":")" + kChannel +
            R"(","method":"media","args":{"allowMultipleSelection":true}})");
  idle(host);
  auto cells = assetCells(host);
  ASSERT_EQ(cells.size(), 3u);
  keepSnapshot(host, scratch, "huge-announcements.png");
  // Each shows the fixture's picture: its top-left pixel is red.
  const std::string shot = scratch.path() + "/huge-announcements.png";
  CGImageRef screen = UIImage::imageWithContentsOfFile(shot)->CGImage();
  const double scale = double(screen->width()) / viewTree(host).front().frame.size.width;
  for (const Node& cell : cells) {
    const auto pixel = il_test::PixelAt(screen, size_t((cell.frame.origin.x + 4) * scale),
                                        size_t((cell.frame.origin.y + 4) * scale));
    EXPECT_GT(pixel[0], 160) << cell.label;
    EXPECT_LT(pixel[2], 100) << cell.label;
  }
  // Each such decode alone would take more than a gigabyte.
  EXPECT_LT(peakResidentBytes(host.pid()), size_t(1) << 30);
  for (const Node& cell : cells) ASSERT_TRUE(tap(host, centre(cell)));
  auto done = buttonsTitled(host, "Done (3)");
  ASSERT_EQ(done.size(), 1u);
  ASSERT_TRUE(tap(host, centre(done[0])));
  auto reply = host.reply(2, kWait);
  const Value& files = resultOf(reply);
  ASSERT_EQ(files.size(), 3u) << describe(reply);
  std::multiset<std::string> exported, originals;
  for (const Value& file : files.asList()) exported.insert(readFile(file.find("path")->asString()));
  for (const char* name : {"thumbnail.heic", "image.heic", "alpha.heic"}) {
    originals.insert(readFile(library + "/" + name));
  }
  EXPECT_TRUE(exported == originals);
  EXPECT_LT(peakResidentBytes(host.pid()), size_t(1) << 30);
  EXPECT_EQ(host.finish(kWait), 0);
}

// A picker program that answers every kind of picker at once: the notes for
// documents, the folder for folders, a new file for a save, the photo or the
// video of the library and the song of the music folder.
std::string writePickerProgram(const TempFolder& scratch, const std::string& user,
                               const std::string& library, const std::string& music) {
  return scratch.writeFile("pick",
                           "#!/bin/sh\n"
                           "mode=; movie=\n"
                           "for a in \"$@\"; do case \"$a\" in\n"
                           "  mode=*) mode=${a#mode=};;\n"
                           "  type=public.movie) movie=1;;\n"
                           "esac; done\n"
                           "case \"$mode\" in\n"
                           "  import) echo '" +
                               user +
                               "/notes.txt';;\n"
                               "  open) echo '" +
                               user +
                               "';;\n"
                               "  export) echo '" +
                               user +
                               "/saved.txt';;\n"
                               "  photo|image) if [ -n \"$movie\" ]; then echo '" +
                               library + "/c.mp4'; else echo '" + library +
                               "/a.jpg'; fi;;\n"
                               "  music) echo '" +
                               music +
                               "/song.wav';;\n"
                               "esac\n");
}

TEST_F(MediaRoadHost, EveryPickerMethodTwiceInARowIsAnswered) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  const std::string library = makeLibrary(scratch);
  const std::string user = scratch.makeFolder("user");
  const std::string music = scratch.makeFolder("music");
  scratch.writeFile("user/notes.txt", "notes");
  ASSERT_TRUE(WriteFixtureTone(music + "/song.wav", 0.4, std::string("Song")));
  const std::string program = writePickerProgram(scratch, user, library, music);
  ::chmod(program.c_str(), 0755);
  const std::string errors = scratch.path() + "/host.err";
  struct Case {
    const char* method;
    std::string args;
    Value expected;  // a string or true; null: one file
  };
  const Case cases[] = {
      {"any", "null", Value()},
      {"image", "null", Value()},
      {"media", R"({"allowMultipleSelection":true})", Value()},
      {"video", "null", Value()},
      {"audio", "null", Value()},
      {"custom", R"({"allowedExtensions":["txt"]})", Value()},
      {"dir", "null", Value(user)},
      {"save", R"({"fileName":"saved.txt","bytes":{"$bytes":"c2F2ZWQ="}})",
       Value(user + "/saved.txt")},
      {"clear", "null", Value(true)},
  };
  // A host for each method, so that one left waiting does not hold up the
  // others' answers.
  for (const Case& c : cases) {
    HostSession host({"QX_APP_HOME=" + container, "QX_PHOTO_LIBRARY=" + library,
                      "QX_MUSIC_LIBRARY=" + music, "QX_PICKER_COMMAND=" + program},
                     errors);
    ASSERT_TRUE(host.started());
    bool answered = true;
    for (int time = 1; time <= 2; ++time) {
      auto reply = request(
          host,
          R"("channel":")" + kChannel + R"(","method":")" + c.method + R"(","args":)" + c.args,
          kTestTimeoutSeconds);
      if (!reply) {
        ADD_FAILURE() << c.method << " call " << time << " is never answered";
        answered = false;
        break;
      }
      if (c.expected.isNull()) {
        ASSERT_EQ(resultOf(reply).size(), 1u) << c.method << " " << time << ": " << describe(reply);
        const std::string path = resultOf(reply).asList()[0].find("path")->asString();
        EXPECT_FALSE(readFile(path).empty()) << c.method << " " << time << ": " << path;
      } else {
        EXPECT_EQ(resultOf(reply), c.expected)
            << c.method << " " << time << ": " << describe(reply);
      }
    }
    if (answered) {
      EXPECT_EQ(host.finish(kWait), 0) << c.method << ": " << readFile(errors);
    }
  }
  EXPECT_EQ(readFile(user + "/saved.txt"), "saved");
  EXPECT_EQ(readFile(user + "/notes.txt"), "notes") << "the user's files stay";
}

// Another program's hand on the photo library: it cuts every photo short and
// writes it back in place, and does so again each time the hosts have read
// a few of the photos since (a descriptor opened for reading closed, as a
// scan or a decode does). Paced by the hosts' own reads, the rounds come as
// bursts that the library takes in one after the other, each setting off the
// grid's decodes anew, for as long as the hosts run.
class PhotoRewriter {
 public:
  struct Photo {
    std::string name, bytes;
  };

  PhotoRewriter(std::string folder, std::vector<Photo> photos)
      : folder_(std::move(folder)), photos_(std::move(photos)) {
    inotify_ = ::inotify_init1(IN_CLOEXEC);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (inotify_ >= 0) ::inotify_add_watch(inotify_, folder_.c_str(), IN_CLOSE_NOWRITE);
    thread_ = std::thread([this] { run(); });
  }
  ~PhotoRewriter() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
    thread_.join();
    for (int fd : {inotify_, stop_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  // A round at once, and from then on one after every few photos read.
  void start() {
    armed_ = true;
    rewriteAll();
  }
  void pause() { armed_ = false; }
  int rounds() const { return rounds_; }

 private:
  // Fewer would let the rounds run into one another (the library takes in a
  // burst once the folder has been quiet for a moment), more would space
  // them out past the decodes they set off.
  static constexpr size_t kReadsPerRound = 4;

  void run() {
    alignas(inotify_event) char events[4096];
    std::set<std::string> read;
    for (;;) {
      pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      const ssize_t n = ::read(inotify_, events, sizeof events);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        at += ssize_t(sizeof(inotify_event) + event->len);
        if (event->len) read.insert(event->name);
      }
      if (!armed_ || read.size() < kReadsPerRound) continue;
      read.clear();
      rewriteAll();
    }
  }
  void rewriteAll() {
    for (const Photo& photo : photos_) {
      const int fd = ::open((folder_ + "/" + photo.name).c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) continue;
      bool whole = ::ftruncate(fd, off_t(photo.bytes.size() / 3)) == 0;
      for (size_t done = 0; whole && done < photo.bytes.size();) {
        const ssize_t n =
            ::pwrite(fd, photo.bytes.data() + done, photo.bytes.size() - done, off_t(done));
        whole = n > 0;
        done += whole ? size_t(n) : 0;
      }
      ::close(fd);
    }
    ++rounds_;
  }

  const std::string folder_;
  const std::vector<Photo> photos_;
  int inotify_ = -1;
  int stop_ = -1;
  std::atomic<bool> armed_{false};
  std::atomic<int> rounds_{0};
  std::thread thread_;
};

// Photos cut short and written back while the grid decodes them, and the
// input closed meanwhile: each host gives the picker's request up and exits
// by itself with status 0, never by a signal, wherever its decodes were when
// the exit came. Workers decoding for the photo library as the process ended
// once met its statics being destroyed (SIGSEGV or SIGABRT, a host in ten or
// so), so many hosts end here.
TEST_F(MediaRoadHost, InputEndingWhileTheGridDecodesRewrittenPhotosExitsCleanly) {
  TempFolder scratch;
  const std::string library = scratch.makeFolder("library");
  // Photo sized, so that each decode takes a while; a grid's worth of them.
  const std::string heic = scratch.path() + "/big.heic", jpeg = scratch.path() + "/big.jpg";
  ASSERT_TRUE(WriteFixtureImage(heic, "public.heic", 6000, 4000));
  ASSERT_TRUE(WriteFixtureImage(jpeg, "public.jpeg", 6000, 4000));
  std::vector<PhotoRewriter::Photo> photos;
  for (int i = 0; i < 16; ++i) {
    const bool isHeic = i % 4 == 0;
    PhotoRewriter::Photo photo{"photo" + std::to_string(i) + (isHeic ? ".heic" : ".jpg"),
                               readFile(isHeic ? heic : jpeg)};
    std::ofstream(library + "/" + photo.name, std::ios::binary) << photo.bytes;
    photos.push_back(std::move(photo));
  }
  PhotoRewriter rewriter(library, photos);
  // Hosts a few at a time on the one library, their input closed one after
  // the other once their grids show, so that each ends at another point of
  // the decodes the changes keep setting off. Half as many under the
  // sanitizers, where each host runs several times slower.
#if defined(QX_SANITIZER_ALLOCATOR)
  constexpr int kRounds = 2;
#else
  constexpr int kRounds = 4;
#endif
  constexpr int kHostsAtOnce = 4;
  for (int round = 0; round < kRounds; ++round) {
    std::list<HostSession> hosts;
    std::vector<std::string> errors;
    for (int i = 0; i < kHostsAtOnce; ++i) {
      const std::string name = std::to_string(round) + "-" + std::to_string(i);
      errors.push_back(scratch.path() + "/host" + name + ".err");
      hosts.emplace_back(
          std::vector<std::string>{"QX_APP_HOME=" + scratch.makeFolder("container" + name),
                                   "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7",
                                   kExitWaitSetting},
          errors.back());
      ASSERT_TRUE(hosts.back().started());
      hosts.back().send(R"({"id":1,"channel":")" + kChannel +
                        R"(","method":"media","args":{"allowMultipleSelection":true}})");
    }
    for (HostSession& host : hosts) {
      idle(host);
      ASSERT_EQ(assetCells(host).size(), photos.size());
    }
    const int roundsBefore = rewriter.rounds();
    rewriter.start();
    size_t i = 0;
    for (HostSession& host : hosts) {
      const std::string& error = errors[i++];
      SCOPED_TRACE(error);
      const int status = host.finish(kWait);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                  : "status " + std::to_string(status))
          << "\n"
          << readFile(error);
      EXPECT_NE(readFile(error).find("host: 1 request(s) still unanswered at exit"),
                std::string::npos)
          << readFile(error);
    }
    rewriter.pause();
    // Past the first round: the hosts read the changed photos again.
    EXPECT_GT(rewriter.rounds() - roundsBefore, 1)
        << "the photos kept changing while the hosts ran";
  }
}

}  // namespace

}  // namespace media_road_host_test

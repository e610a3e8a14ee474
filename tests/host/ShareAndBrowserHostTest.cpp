// The share sheet and the in-app browser through the built host: requests
// as JSON lines, the screens found in the view tree by their labels, closed
// with touches or requests, and the replies the Dart side would get.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "HostSession.h"
#include "platform/coregraphics/CGGeometry.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"
#include "support/photos/MediaFixtures.h"

// Readable failures.
static void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }

namespace share_and_browser_host_test {

namespace {

constexpr double kWait = 3 * kTestTimeoutSeconds;
const std::string kShare = R"("channel":"dev.tarnquell.plugins/share","method":"share","args":)";
const std::string kApi = "dev.flutter.pigeon.url_launcher_ios.UrlLauncherApi.";

struct Node {
  std::string label, text;
  CGRect frame;
  std::string className;
  bool selected = false;
};

void flatten(const Value& view, std::vector<Node>& out) {
  const Value* f = view.find("frame");
  if (!f || f->size() != 4) return;
  const auto& r = f->asList();
  auto string = [&](const char* key) {
    const Value* v = view.find(key);
    return v && v->isString() ? v->asString() : "";
  };
  const Value* selected = view.find("selected");
  out.push_back({string("label"), string("text"),
                 CGRectMake(r[0].asDouble(), r[1].asDouble(), r[2].asDouble(), r[3].asDouble()),
                 string("class"), selected && selected->isBool() && selected->asBool()});
  for (const Value& child : view.find("children")->asList()) flatten(child, out);
}

class ShareAndBrowserHost : public PlatformTest {
 protected:
  int start(const std::string& body) {
    on_->send("{\"id\":" + std::to_string(next_) + "," + body + "}");
    return next_++;
  }
  // The whole reply line, or (with `key`) the part under it.
  Value reply(int id, const char* key = nullptr) {
    auto line = on_->reply(id, kWait);
    const Value* part = line && key ? line->find(key) : nullptr;
    return part ? *part : line && !key ? *line : Value("no reply");
  }
  Value request(const std::string& body, const char* key = nullptr) {
    return reply(start(body), key);
  }
  // The view labelled `label` (or showing it as its text) once it shows
  // and nothing slides any more, or (with `gone`) once none shows.
  std::optional<Node> await(const std::string& label, bool gone = false, bool byText = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<Node> nodes;
      flatten(request(R"("viewTree":null)", "result"), nodes);
      std::optional<Node> found;
      bool sliding = false;
      for (auto& n : nodes) {
        if ((byText ? n.text : n.label) == label) found = n;
        // Below the window (the sheet's card reaches past it by its radius).
        sliding |= CGRectGetMaxY(n.frame) > 844 + 12;
      }
      if (gone ? !found : found && !sliding) return gone ? Node{} : found;
    }
    return std::nullopt;
  }
  bool touch(const std::string& touch) {
    return request(R"("touch":)" + touch).find("result") != nullptr;
  }
  static std::string tapAt(const std::optional<Node>& n, int count = 1) {
    return R"({"kind":"tap","count":)" + std::to_string(count) + R"(,"point":[)" +
           std::to_string(CGRectGetMidX(n->frame)) + "," +
           std::to_string(CGRectGetMidY(n->frame)) + "]}";
  }
  bool tap(const std::optional<Node>& n) { return n && touch(tapAt(n)); }
  // The views of `className` on screen now, in the view tree's order.
  std::vector<Node> all(const std::string& className) {
    std::vector<Node> nodes, found;
    flatten(request(R"("viewTree":null)", "result"), nodes);
    for (auto& n : nodes) {
      if (n.className == className) found.push_back(n);
    }
    return found;
  }

  TempFolder scratch_;
  HostSession host_{{}, scratch_.path() + "/host.err"};
  // The host the requests go to.
  HostSession* on_ = &host_;
  int next_ = 1;
};

TEST_F(ShareAndBrowserHost, TheShareSheetClosesByItsButtonOrADragAndAnswersTheActivity) {
  int call = start(kShare + R"({"text":"Hello from the host","subject":"Greeting"})");
  ASSERT_TRUE(await("Copy"));
  ASSERT_TRUE(tap(await("Close")));
  EXPECT_EQ(reply(call, "result"), Value(""));
  ASSERT_TRUE(await("Share sheet", true));

  call = start(kShare + R"({"text":"pull me down"})");
  auto card = await("Share sheet");
  ASSERT_TRUE(card);
  const std::string top = std::to_string(CGRectGetMinY(card->frame) + 8);
  const std::string bottom = std::to_string(CGRectGetMinY(card->frame) + 208);
  ASSERT_TRUE(touch(R"({"kind":"drag","path":[[195,)" + top + "],[195," + bottom + "]]}"));
  EXPECT_EQ(reply(call, "result"), Value(""));
  ASSERT_TRUE(await("Share sheet", true));

  call = start(kShare + R"({"text":"copy me"})");
  ASSERT_TRUE(tap(await("Copy")));
  EXPECT_EQ(reply(call, "result"), Value("com.apple.UIKit.activity.CopyToPasteboard"));
  EXPECT_EQ(host_.finish(kWait), 0);
}

TEST_F(ShareAndBrowserHost, TheInAppBrowserLoadsShowsItsPageAndCloses) {
  LoopbackHttpServer server;
  server.script("/page", ScriptedResponse(200, {{"Content-Type", "text/html"}},
                                          "<html><title>Loopback Page</title>hello</html>"));
  auto send = [&](const std::string& operation, const std::string& message) {
    return request(R"("channel":")" + kApi + operation + R"(","message":)" + message, "reply");
  };
  auto loaded = [](int64_t result) {
    return Value::list({Value::map({{"$custom", 130}, {"value", result}})});
  };
  EXPECT_EQ(send("openUrlInSafariViewController", "[\"" + server.url("/page") + "\"]"), loaded(0));
  ASSERT_TRUE(await("Browser"));
  EXPECT_TRUE(await("Done"));
  EXPECT_TRUE(await("Loopback Page", false, /*byText=*/true));
  EXPECT_EQ(send("closeSafariViewController", "null"), Value::list({Value()}));
  EXPECT_TRUE(await("Browser", true));

  const std::string refused =
      "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/";
  EXPECT_EQ(send("openUrlInSafariViewController", "[\"" + refused + "\"]"), loaded(1));
  EXPECT_TRUE(await("Done"));
  EXPECT_EQ(host_.finish(kWait), 0);
}

// Every screen a plugin presents, opened twice back to back: the second
// request goes as soon as the first is answered, while the first screen is
// still sliding away. The second must show inside the window, close like the
// first, and have its request answered.
TEST_F(ShareAndBrowserHost, EveryPresentedScreenOpensAgainWhileTheLastOneSlidesAway) {
  struct Road {
    std::string name{}, open{};
    std::string shows{};  // the label (or text) of a view of the screen
    bool byText = false;
    // The screen is looked at once the host is idle: it fills in after it
    // shows (the grid, once its album list has loaded).
    bool settles = false;
    // How the first and the second are closed: "tap" that view, "drag" the
    // screen down, or a request; "" when the picker program cancels it.
    std::string closeFirst{}, close{};
    const char* key = "result";
    Value answer{};  // what `open` is answered once the screen is closed
  };
  // The picker program cancels every odd run at once and leaves every even
  // one open until its sheet is dragged away; while `hold` exists it leaves
  // every run open.
  const std::string runs = scratch_.path() + "/runs";
  const std::string hold = scratch_.path() + "/hold";
  const std::string pick = scratch_.writeFile(
      "pick", "#!/bin/sh\n[ -e '" + hold + "' ] && exec sleep 120\nn=$(( $(cat '" + runs +
                  "' 2>/dev/null || echo 0) + 1 ))\necho $n > '" + runs +
                  "'\n[ $((n % 2)) = 1 ] && exit 1\nexec sleep 120\n");
  ::chmod(pick.c_str(), 0755);
  auto picker = [](const std::string& method, const std::string& args) {
    return Road{.name = method,
                .open = R"("channel":"corvinstead.flutter.plugins.filepicker","method":")" +
                        method + R"(","args":)" + args,
                .shows = "System picker",
                .close = "drag"};
  };
  LoopbackHttpServer server;
  ScriptedResponse never;
  never.hang = true;
  server.script("/never", never);
  const std::vector<Road> roads = {
      {.name = "share",
       .open = kShare + R"({"text":"hello"})",
       .shows = "Close",
       .closeFirst = "tap",
       .close = "tap",
       .answer = Value("")},
      {.name = "browser",
       .open = R"("channel":")" + kApi + R"(openUrlInSafariViewController","message":[")" +
               server.url("/never") + "\"]",
       .shows = "Done",
       .closeFirst = R"("channel":")" + kApi + R"(closeSafariViewController","message":null)",
       .close = "tap",
       .key = "reply",
       .answer = Value::list({Value::map({{"$custom", 130}, {"value", 4}})})},
      picker("any", "null"),
      picker("custom", R"({"allowedExtensions":["txt"]})"),
      picker("image", "null"),
      picker("video", "null"),
      picker("media", "null"),
      picker("audio", "null"),
      picker("dir", "null"),
      picker("save", R"({"fileName":"a.txt"})"),
  };
  auto playTwice = [&](const Road& road) {
    for (int time = 1; time <= 2; ++time) {
      const std::string trace = road.name + " #" + std::to_string(time);
      const std::string& close = time == 1 ? road.closeFirst : road.close;
      const int call = start(road.open);
      if (road.settles) {
        EXPECT_NE(request(R"("idle":null)").find("result"), nullptr) << trace;
      }
      if (!close.empty()) {
        auto shown = await(road.shows, false, road.byText);
        if (!shown || !CGRectContainsRect(CGRectMake(0, 0, 390, 844), shown->frame)) {
          ADD_FAILURE() << trace << " is not inside the window: "
                        << (shown ? NSStringFromCGRect(shown->frame) : "not shown");
          return;
        }
        const bool closed = close == "tap" ? tap(shown)
                            : close == "drag"
                                ? touch(R"({"kind":"drag","path":[[195,300],[195,700]]})")
                                : request(close).find("id") != nullptr;
        EXPECT_TRUE(closed) << trace;
      }
      EXPECT_EQ(reply(call, road.key).description(), road.answer.description()) << trace;
    }
    EXPECT_TRUE(await(road.shows, true, road.byText)) << road.name << " stays";
  };
  HostSession current(
      {"QX_APP_HOME=" + scratch_.makeFolder("current"), "QX_PICKER_COMMAND=" + pick},
      scratch_.path() + "/current.err");
  on_ = &current;
  for (const Road& road : roads) playTwice(road);

  // Two share sheets asked together, each closed by one of two taps written
  // together: the second tap is played once the top sheet has slid away, on
  // the sheet under it. Then a picker's sheet over a share, dragged away with
  // the share's Close tapped at once. No sheet may stay, and every call is
  // answered once.
  const std::string closeAt = R"({"kind":"tap","point":[359,641]})";
  const std::string copyAt = R"({"kind":"tap","point":[54,751]})";
  const std::string dragAway = R"({"kind":"drag","path":[[195,300],[195,700]]})";
  struct Closing {
    std::string name, under, over;  // the two calls, the later one on top
    std::string first, second;      // the touches, written together
    Value underAnswer, overAnswer;
  };
  const std::string pickAny = R"("channel":"corvinstead.flutter.plugins.filepicker","method":"any")";
  const Closing closings[] = {
      {"Close, Close", kShare + R"({"text":"A"})", kShare + R"({"text":"B"})", closeAt, closeAt,
       Value(""), Value("")},
      {"Close, Copy", kShare + R"({"text":"A"})", kShare + R"({"text":"B"})", closeAt, copyAt,
       Value("com.apple.UIKit.activity.CopyToPasteboard"), Value("")},
      {"picker dragged away, Close", kShare + R"({"text":"A"})", pickAny, dragAway, closeAt,
       Value(""), Value()},
  };
  scratch_.writeFile("hold", "");
  for (const Closing& c : closings) {
    SCOPED_TRACE(c.name);
    const int under = start(c.under);
    ASSERT_TRUE(await("Close"));
    const int over = start(c.over);
    EXPECT_NE(request(R"("idle":null)").find("result"), nullptr);
    const int first = start(R"("touch":)" + c.first);
    const int second = start(R"("touch":)" + c.second);
    EXPECT_NE(reply(first).find("result"), nullptr);
    EXPECT_NE(reply(second).find("result"), nullptr);
    EXPECT_EQ(reply(over, "result"), c.overAnswer);
    EXPECT_EQ(reply(under, "result"), c.underAnswer);
    EXPECT_NE(request(R"("idle":null)").find("result"), nullptr);
    EXPECT_TRUE(await("Share sheet", true));
    EXPECT_TRUE(await("System picker", true));
    EXPECT_EQ(current.replyCount(under), 1);
    EXPECT_EQ(current.replyCount(over), 1);
  }
  ::unlink(hold.c_str());
  EXPECT_EQ(current.finish(kWait), 0);

  // Before system 14: one photo through the image picker, several through
  // the album grid, whose cells open the gallery with a long press.
  const std::string library = scratch_.makeFolder("library");
  for (const char* name : {"a.jpg", "b.jpg"}) {
    ASSERT_TRUE(WriteFixtureImage(library + "/" + name, "public.jpeg", 64, 48));
  }
  HostSession older({"QX_APP_HOME=" + scratch_.makeFolder("older"), "QX_PICKER_COMMAND=" + pick,
                     "QX_PHOTO_LIBRARY=" + library, "QX_SYSTEM_VERSION=13.7"},
                    scratch_.path() + "/older.err");
  on_ = &older;
  playTwice(picker("image", "null"));
  const std::string grid = R"("channel":"corvinstead.flutter.plugins.filepicker","method":"media",)"
                           R"("args":{"allowMultipleSelection":true})";
  playTwice({.name = "media picker",
             .open = grid,
             .shows = "Cancel",
             .byText = true,
             .settles = true,
             .closeFirst = "tap",
             .close = "tap"});
  const int call = start(grid);
  EXPECT_NE(request(R"("idle":null)").find("result"), nullptr);
  ASSERT_TRUE(await("Cancel", false, true));
  std::vector<Node> nodes;
  flatten(request(R"("viewTree":null)", "result"), nodes);
  auto cell = std::find_if(nodes.begin(), nodes.end(), [](const Node& n) {
    return n.className == "AKAssetGroupDetailImageCell";
  });
  ASSERT_NE(cell, nodes.end());
  playTwice({.name = "gallery",
             .open = R"("touch":{"kind":"longPress","duration":1.0,"point":[)" +
                     std::to_string(CGRectGetMidX(cell->frame)) + "," +
                     std::to_string(CGRectGetMidY(cell->frame)) + "]}",
             .shows = "1/2",
             .byText = true,
             .closeFirst = "drag",
             .close = "drag"});
  ASSERT_TRUE(tap(await("Cancel", false, true)));
  EXPECT_EQ(reply(call, "result"), Value());

  // One photo selected, the other opened in the gallery, whose back arrow
  // lies over the grid's Cancel. A double tap on the arrow closes the gallery
  // only: its second tap comes while the gallery slides away, and is dropped.
  const std::string arrow = R"({"kind":"tap","point":[28,69])";
  auto openGallery = [&] {
    auto cells = all("AKAssetGroupDetailImageCell");
    if (cells.size() != 2) return false;
    if (!cells[0].selected && !tap(cells[0])) return false;
    return touch(R"({"kind":"longPress","duration":1.0,"point":[)" +
                 std::to_string(CGRectGetMidX(cells[1].frame)) + "," +
                 std::to_string(CGRectGetMidY(cells[1].frame)) + "]}") &&
           await("2/2", false, true);
  };
  const int picked = start(grid);
  EXPECT_NE(request(R"("idle":null)").find("result"), nullptr);
  ASSERT_TRUE(await("Cancel", false, true));
  ASSERT_TRUE(openGallery());
  ASSERT_TRUE(touch(arrow + R"(,"count":2})"));
  EXPECT_TRUE(await("2/2", true, true));
  auto cells = all("AKAssetGroupDetailImageCell");
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_TRUE(cells[0].selected);
  EXPECT_FALSE(cells[1].selected);
  ASSERT_TRUE(tap(await("Done (1)", false, true)));
  const Value files = reply(picked, "result");
  EXPECT_TRUE(files.isList() && files.size() == 1) << files.description();

  // Two single taps written together: the second is played once the gallery
  // is gone, on what is then under the finger, the grid's Cancel.
  const int cancelled = start(grid);
  EXPECT_NE(request(R"("idle":null)").find("result"), nullptr);
  ASSERT_TRUE(await("Cancel", false, true));
  ASSERT_TRUE(openGallery());
  const int back = start(R"("touch":)" + arrow + "}");
  const int again = start(R"("touch":)" + arrow + "}");
  EXPECT_NE(reply(back).find("result"), nullptr);
  EXPECT_NE(reply(again).find("result"), nullptr);
  EXPECT_EQ(reply(cancelled, "result"), Value());
  EXPECT_EQ(older.finish(kWait), 0);
}

}  // namespace

}  // namespace share_and_browser_host_test

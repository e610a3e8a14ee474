// The share sheet and the in-app browser through the built host: requests
// as JSON lines, the screens found in the view tree by their labels, closed
// with touches or requests, and the replies the Dart side would get.
#include <gtest/gtest.h>

#include <chrono>

#include "HostSession.h"
#include "platform/coregraphics/CGGeometry.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

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
};

void flatten(const Value& view, std::vector<Node>& out) {
  const Value* f = view.find("frame");
  if (!f || f->size() != 4) return;
  const auto& r = f->asList();
  auto string = [&](const char* key) {
    const Value* v = view.find(key);
    return v && v->isString() ? v->asString() : "";
  };
  out.push_back({string("label"), string("text"),
                 CGRectMake(r[0].asDouble(), r[1].asDouble(), r[2].asDouble(), r[3].asDouble())});
  for (const Value& child : view.find("children")->asList()) flatten(child, out);
}

class ShareAndBrowserHost : public PlatformTest {
 protected:
  int start(const std::string& body) {
    host_.send("{\"id\":" + std::to_string(next_) + "," + body + "}");
    return next_++;
  }
  // The whole reply line, or (with `key`) the part under it.
  Value reply(int id, const char* key = nullptr) {
    auto line = host_.reply(id, kWait);
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
  bool tap(const std::optional<Node>& n) {
    return n && touch(R"({"kind":"tap","point":[)" + std::to_string(CGRectGetMidX(n->frame)) + "," +
                      std::to_string(CGRectGetMidY(n->frame)) + "]}");
  }

  TempFolder scratch_;
  HostSession host_{{}, scratch_.path() + "/host.err"};
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

}  // namespace

}  // namespace share_and_browser_host_test

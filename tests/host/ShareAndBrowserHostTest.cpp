// The share sheet and the in-app browser through the built host: requests
// as JSON lines, the screens found in the view tree by their labels, closed
// with touches or requests, and the replies the Dart side would get.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "HostSession.h"
#include "platform/coregraphics/CGGeometry.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

// Readable failures.
static void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }

namespace {

constexpr double kWait = 3 * kTestTimeoutSeconds;
const std::string kShare = R"("channel":"dev.tarnquell.plugins/share","method":"share")";
const std::string kApi = "dev.flutter.pigeon.url_launcher_ios.UrlLauncherApi.";

struct Node {
  std::string label, text;
  CGRect frame;
};

void flatten(const Value& view, std::vector<Node>& out) {
  if (!view.isMap()) return;
  Node node;
  if (const Value* l = view.find("label"); l && l->isString()) node.label = l->asString();
  if (const Value* t = view.find("text"); t && t->isString()) node.text = t->asString();
  if (const Value* f = view.find("frame"); f && f->isList() && f->size() == 4) {
    const auto& r = f->asList();
    node.frame = CGRectMake(r[0].asDouble(), r[1].asDouble(), r[2].asDouble(), r[3].asDouble());
  }
  out.push_back(node);
  if (const Value* children = view.find("children"); children && children->isList()) {
    for (const Value& child : children->asList()) flatten(child, out);
  }
}

class ShareAndBrowserHost : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    host_ =
        std::make_unique<HostSession>(std::vector<std::string>{}, scratch_.path() + "/host.err");
    ASSERT_TRUE(host_->started());
  }
  std::string log() {
    host_->finish(kWait);
    std::ifstream in(scratch_.path() + "/host.err");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  Value request(const std::string& body) {
    const int id = next_++;
    host_->send("{\"id\":" + std::to_string(id) + "," + body + "}");
    auto reply = host_->reply(id, kWait);
    return reply ? *reply : Value("no reply");
  }
  int start(const std::string& body) {
    host_->send("{\"id\":" + std::to_string(next_) + "," + body + "}");
    return next_++;
  }
  // The result of a method call, or of a generated channel's reply.
  Value resultOf(int id) {
    auto reply = host_->reply(id, kWait);
    const Value* r = reply ? reply->find("result") : nullptr;
    return r ? *r : Value("no result");
  }
  // The view labelled `label` (or showing it as its text) once it shows
  // (or, with `gone`, once none does).
  std::optional<Node> await(const std::string& label, bool gone = false, bool byText = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<Node> nodes;
      const Value tree = request(R"("viewTree":null)");
      if (const Value* result = tree.find("result")) flatten(*result, nodes);
      std::optional<Node> found;
      bool sliding = false;
      for (auto& n : nodes) {
        if ((byText ? n.text : n.label) == label) found = n;
        // A screen still sliding in or out sits below the window (the
        // sheet's card reaches past it by its corner radius).
        sliding |= CGRectGetMaxY(n.frame) > 844 + 12;
      }
      if (gone ? !found : found && !sliding) return gone ? Node{} : found;
    }
    return std::nullopt;
  }
  bool touch(const std::string& touch) {
    return request(R"("touch":)" + touch).find("result") != nullptr;
  }
  bool tap(const Node& n) {
    return touch(R"({"kind":"tap","point":[)" + std::to_string(CGRectGetMidX(n.frame)) + "," +
                 std::to_string(CGRectGetMidY(n.frame)) + "]}");
  }

  TempFolder scratch_;
  std::unique_ptr<HostSession> host_;
  int next_ = 1;
};

TEST_F(ShareAndBrowserHost, TheShareSheetClosesByItsButtonOrADragAndAnswersTheActivity) {
  int call = start(kShare + R"(,"args":{"text":"Hello from the host","subject":"Greeting"})");
  auto close = await("Close");
  ASSERT_TRUE(close) << log();
  ASSERT_TRUE(await("Copy"));
  ASSERT_TRUE(tap(*close));
  EXPECT_EQ(resultOf(call), Value(""));
  ASSERT_TRUE(await("Share sheet", true));

  call = start(kShare + R"(,"args":{"text":"pull me down"})");
  auto card = await("Share sheet");
  ASSERT_TRUE(card);
  const double top = CGRectGetMinY(card->frame) + 8;
  ASSERT_TRUE(touch(R"({"kind":"drag","path":[[195,)" + std::to_string(top) + "],[195," +
                    std::to_string(top + 200) + "]]}"));
  EXPECT_EQ(resultOf(call), Value(""));
  ASSERT_TRUE(await("Share sheet", true));

  call = start(kShare + R"(,"args":{"text":"copy me"})");
  auto copy = await("Copy");
  ASSERT_TRUE(copy);
  ASSERT_TRUE(tap(*copy));
  EXPECT_EQ(resultOf(call), Value("com.apple.UIKit.activity.CopyToPasteboard"));
  EXPECT_EQ(host_->finish(kWait), 0);
}

TEST_F(ShareAndBrowserHost, TheInAppBrowserLoadsShowsItsPageAndCloses) {
  LoopbackHttpServer server;
  server.script("/page", ScriptedResponse(200, {{"Content-Type", "text/html"}},
                                          "<html><title>Loopback Page</title>hello</html>"));
  // The generated channel's reply list.
  auto send = [&](const std::string& operation, const std::string& message) {
    Value reply = request(R"("channel":")" + kApi + operation + R"(","message":)" + message);
    return reply.find("reply") ? *reply.find("reply") : reply;
  };
  auto loaded = [](int64_t result) {
    return Value::list({Value::map({{"$custom", 130}, {"value", result}})});
  };
  EXPECT_EQ(send("openUrlInSafariViewController", "[\"" + server.url("/page") + "\"]"), loaded(0));
  ASSERT_TRUE(await("Browser")) << log();
  ASSERT_TRUE(await("Done"));
  auto title = await("Loopback Page", false, /*byText=*/true);
  EXPECT_TRUE(title);
  EXPECT_EQ(send("closeSafariViewController", "null"), Value::list({Value()}));
  EXPECT_TRUE(await("Browser", true));

  const std::string refused =
      "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/";
  EXPECT_EQ(send("openUrlInSafariViewController", "[\"" + refused + "\"]"), loaded(1));
  EXPECT_TRUE(await("Done"));
  EXPECT_EQ(host_->finish(kWait), 0);
}

}  // namespace

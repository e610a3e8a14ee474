// The in-app browser shown over a window, loading from a loopback server,
// read through its labelled views and closed with a touch on Done.
#include <gtest/gtest.h>

#include "platform/safariservices/SFSafariViewController.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewAccessibility.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace sf_safari_view_controller_test {

namespace {

class Recorder : public SFSafariViewControllerDelegate {
 public:
  void safariViewControllerDidCompleteInitialLoad(SFSafariViewController&, bool ok) override {
    loads.push_back(ok);
  }
  void safariViewControllerDidFinish(SFSafariViewController&) override { ++finished; }
  std::vector<bool> loads;
  int finished = 0;
};

// The texts the browser shows that a person can read, in view order.
void visibleTexts(const UIView& view, std::vector<std::string>& out) {
  if (view.isHidden()) return;
  if (auto* l = dynamic_cast<const UILabel*>(&view); l && !l->text().empty())
    out.push_back(l->text());
  for (const auto& child : view.subviews()) visibleTexts(*child, out);
}

std::shared_ptr<UIView> labelled(const std::shared_ptr<UIView>& view, const std::string& label) {
  if (UIViewAccessibilityLabel(*view) == label) return view;
  for (const auto& child : view->subviews()) {
    if (auto found = labelled(child, label)) return found;
  }
  return nullptr;
}

using SFSafariViewControllerTest = PlatformTest;

TEST_F(SFSafariViewControllerTest, ShowsThePageTitleOrWhyItFailedAndClosesWithDone) {
  LoopbackHttpServer server;
  server.script("/page", ScriptedResponse(200, {{"Content-Type", "text/html"}},
                                          "<html><title>Loopback Page</title>hello</html>"));
  server.script("/gone", ScriptedResponse(404, {{"Content-Type", "text/html"}}, "missing"));
  const std::string refused =
      "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/";
  struct Case {
    std::string url;
    bool loads;
    std::vector<std::string> texts;
    const char* snapshot;
  };
  const Case cases[] = {
      {server.url("/page"), true, {"Done", "Loopback Page", "127.0.0.1"}, "browser-page"},
      // A page that arrived is loaded whatever its status, as in a browser.
      {server.url("/gone"), true, {"Done", "127.0.0.1"}, nullptr},
      {refused,
       false,
       {"Cannot Open the Page\nCouldn't connect to server", "Done", "127.0.0.1"},
       "browser-failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
    auto root = std::make_shared<UIViewController>();
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    auto recorder = std::make_shared<Recorder>();
    auto browser = SFSafariViewController::initWithURL(NSURL::URLWithString(c.url));
    browser->setDelegate(recorder);
    root->presentViewController(browser, true);
    advance(UIViewController::kTransitionDuration);
    ASSERT_TRUE(RunMainLoopUntil([&] { return !recorder->loads.empty(); }));
    EXPECT_EQ(recorder->loads, std::vector<bool>{c.loads});
    std::vector<std::string> texts;
    visibleTexts(*browser->view(), texts);
    EXPECT_EQ(texts, c.texts);
    if (c.snapshot) SaveSnapshot(RenderView(*window, UIScreen::mainScreen()->scale()), c.snapshot);

    auto done = labelled(window, "Done");
    ASSERT_TRUE(done);
    CGRect f = done->convertRectToView(done->bounds(), window.get());
    UITouchDriver(window).tap(CGPointMake(CGRectGetMidX(f), CGRectGetMidY(f)));
    advance(1);
    EXPECT_EQ(recorder->finished, 1);
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(recorder->loads.size(), 1u);  // the first load is told once
  }
}

}  // namespace

}  // namespace sf_safari_view_controller_test

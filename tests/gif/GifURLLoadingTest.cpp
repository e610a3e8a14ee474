#include <gtest/gtest.h>

#include "GifTestSupport.h"
#include "gif/AnimGifManager.h"
#include "gif/UIImageAnimGif.h"
#include "gif/UIImageViewAnimGif.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "platform/foundation/NSURL.h"
#include "platform/network/NSURLSession.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

namespace gif_url_loading_test {

using namespace AnimGif;
using namespace gif_test;

namespace {

class GifURLLoadingTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    AlignToMidFrame();
    window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
    manager = std::make_shared<AnimGifManager>(50);
    recorder = std::make_shared<RecordingDelegate>();
    gifBytes = SolidFramesGif({0.1, 0.1});
    server.script("/spin.gif", {200, {{"Content-Type", "image/gif"}},
                                std::string(gifBytes->vector().begin(), gifBytes->vector().end())});
  }

  void TearDown() override {
    EXPECT_FALSE(recorder->offMainThread) << "delegate messages belong to the main thread";
    manager->clear();
    PlatformTest::TearDown();
  }

  UIImageViewPtr makeView() {
    auto view = std::make_shared<UIImageView>(CGRectMake(0, 0, 200, 120));
    window->addSubview(view);
    setDelegate(view, recorder);
    return view;
  }

  NSURLPtr url(const std::string& path) { return NSURL::URLWithString(server.url(path)); }

  NSURLSessionDataTaskPtr load(const UIImageViewPtr& view, const NSURLPtr& at,
                               bool showLoader = true, const UIViewPtr& customLoader = nullptr) {
    return setGifFromURL(view, at, manager, -1, LevelOfIntegrity::defaultLevel,
                         NSURLSession::sharedSession(), showLoader, customLoader);
  }

  // Waits for the load's one message, success or failure.
  bool waitForOutcome() {
    return RunMainLoopUntil([&] {
      for (const auto& e : recorder->events) {
        if (e == "finish" || e == "fail") return true;
      }
      return false;
    });
  }

  using Events = std::vector<std::string>;

  LoopbackHttpServer server;
  std::shared_ptr<UIWindow> window;
  AnimGifManagerPtr manager;
  std::shared_ptr<RecordingDelegate> recorder;
  NSDataPtr gifBytes;
};

TEST_F(GifURLLoadingTest, LoadsPlaysAndCachesTheBytes) {
  auto view = makeView();
  auto task = load(view, url("/spin.gif"));
  ASSERT_TRUE(task);
  // The spinner is centred on the view while the load runs.
  ASSERT_EQ(view->subviews().size(), 1u);
  auto spinner = std::dynamic_pointer_cast<UIActivityIndicatorView>(view->subviews()[0]);
  ASSERT_TRUE(spinner);
  EXPECT_TRUE(spinner->isAnimating());
  EXPECT_FALSE(spinner->translatesAutoresizingMaskIntoConstraints());
  view->layoutIfNeeded();
  EXPECT_DOUBLE_EQ(spinner->center().x, 100);
  EXPECT_DOUBLE_EQ(spinner->center().y, 60);

  ASSERT_TRUE(waitForOutcome());
  // Newly managed, so started twice: by the GIF and by the load.
  EXPECT_EQ(recorder->events, (Events{"start", "start", "finish"}));
  EXPECT_FALSE(spinner->superview());
  EXPECT_TRUE(view->subviews().empty());
  EXPECT_TRUE(view->constraints().empty());  // the centring went with the spinner
  EXPECT_TRUE(manager->containsImageView(view));
  EXPECT_TRUE(isAnimatingGif(*view));
  ASSERT_TRUE(gifImage(*view));
  EXPECT_EQ(framesCount(*gifImage(*view)), 2);
  auto cached = manager->remoteCacheObjectForURL(*url("/spin.gif"));
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->vector(), gifBytes->vector());
  Tick(8);
  EXPECT_EQ(ShownFrame(*view), 1);

  // The second load of the URL needs no network, shows no loader and
  // answers at once.
  auto second = makeView();
  recorder->events.clear();
  EXPECT_FALSE(load(second, url("/spin.gif")));
  EXPECT_EQ(recorder->events, (Events{"start", "start", "finish"}));
  EXPECT_TRUE(second->subviews().empty());
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(manager->containsImageView(second));

  // A playing view that loads another GIF pauses while the bytes come.
  ASSERT_TRUE(isAnimatingGif(*view));
  server.script("/other.gif", {200, {}, std::string(gifBytes->vector().begin(), gifBytes->vector().end())});
  recorder->events.clear();
  ASSERT_TRUE(load(view, url("/other.gif")));
  EXPECT_FALSE(isAnimatingGif(*view));
  ASSERT_TRUE(waitForOutcome());
  EXPECT_TRUE(isAnimatingGif(*view));
}

TEST_F(GifURLLoadingTest, ErrorsAndGarbageAreFailuresAndNotCached) {
  std::string gif(gifBytes->vector().begin(), gifBytes->vector().end());
  server.script("/missing.gif", {404, {{"Content-Type", "image/gif"}}, gif});
  server.script("/page", {200, {{"Content-Type", "text/html"}}, "<html>a page</html>"});
  server.script("/empty", {200, {}, ""});
  auto frameless = FramelessGif();
  server.script("/frameless.gif",
                {200, {}, std::string(frameless->vector().begin(), frameless->vector().end())});
  auto png = il_test::StillFile("public.png", il_test::SolidImage(4, 4, kColors[0]));
  server.script("/still.png", {200, {}, std::string(png->vector().begin(), png->vector().end())});

  struct Case {
    std::string path;
    std::string domain;
    int64_t code;
  };
  const Case cases[] = {
      // A GIF body with an error status is the server's error page.
      {"/missing.gif", NSURLErrorDomain, NSURLErrorBadServerResponse},
      {"/page", GifParseErrorDomain, int64_t(GifParseError::noImages)},
      {"/empty", GifParseErrorDomain, int64_t(GifParseError::noImages)},
      {"/frameless.gif", GifParseErrorDomain, int64_t(GifParseError::noImages)},
      {"/still.png", GifParseErrorDomain, int64_t(GifParseError::noGifDictionary)},
  };
  for (const Case& c : cases) {
    auto view = makeView();
    recorder->events.clear();
    recorder->lastError = nullptr;
    ASSERT_TRUE(load(view, url(c.path))) << c.path;
    ASSERT_TRUE(waitForOutcome()) << c.path;
    EXPECT_EQ(recorder->events, (Events{"fail"})) << c.path;
    ASSERT_TRUE(recorder->lastError) << c.path;
    EXPECT_EQ(recorder->lastError->domain(), c.domain) << c.path;
    EXPECT_EQ(recorder->lastError->code(), c.code) << c.path;
    EXPECT_FALSE(manager->remoteCacheObjectForURL(*url(c.path))) << c.path;
    EXPECT_FALSE(manager->containsImageView(view)) << c.path;
    EXPECT_FALSE(isAnimatingGif(*view)) << c.path;
    EXPECT_TRUE(view->subviews().empty()) << c.path;
  }
  EXPECT_TRUE(manager->remoteCache().empty());

  // Success is the whole 2xx range and nothing past it.
  server.script("/edge299.gif", {299, {{"Content-Type", "image/gif"}}, gif});
  server.script("/edge300.gif", {300, {{"Content-Type", "image/gif"}}, gif});
  for (const auto& [at, outcome] : {std::pair<std::string, std::string>{"/edge299.gif", "finish"},
                                    {"/edge300.gif", "fail"}}) {
    auto view = makeView();
    recorder->events.clear();
    ASSERT_TRUE(load(view, url(at))) << at;
    ASSERT_TRUE(waitForOutcome()) << at;
    EXPECT_EQ(recorder->events.back(), outcome) << at;
    EXPECT_EQ(manager->remoteCacheObjectForURL(*url(at)) != nullptr, outcome == "finish") << at;
  }
  manager->setRemoteCacheObject(*url("/edge299.gif"), nullptr);
  EXPECT_FALSE(manager->remoteCacheObjectForURL(*url("/edge299.gif")));

  // Nothing listens, or the connection drops half-way through the GIF: the
  // session's own error, and nothing kept.
  ScriptedResponse dropped(200, {}, gif);
  dropped.dropConnection = true;
  server.script("/dropped.gif", dropped);
  auto closed = NSURL::URLWithString("http://127.0.0.1:" +
                                     std::to_string(LoopbackHttpServer::closedPort()) + "/x.gif");
  auto view = makeView();
  for (const NSURLPtr& failing : {closed, url("/dropped.gif")}) {
    recorder->events.clear();
    recorder->lastError = nullptr;
    ASSERT_TRUE(load(view, failing));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(recorder->events, (Events{"fail"})) << failing->absoluteString();
    ASSERT_TRUE(recorder->lastError);
    EXPECT_EQ(recorder->lastError->domain(), NSURLErrorDomain);
    EXPECT_FALSE(manager->remoteCacheObjectForURL(*failing));
  }

  // Junk put into the cache by hand fails without going to the network.
  manager->setRemoteCacheObject(*url("/spin.gif"), NSData::dataWithBytes("junk", 4));
  const size_t requests = server.requests().size();
  recorder->events.clear();
  EXPECT_FALSE(load(view, url("/spin.gif")));
  EXPECT_EQ(recorder->events, (Events{"fail"}));
  EXPECT_EQ(server.requests().size(), requests);
}

TEST_F(GifURLLoadingTest, LoadersAndViewsThatGoAway) {
  // Without a loader nothing is added to the view.
  auto plain = makeView();
  ASSERT_TRUE(load(plain, url("/spin.gif"), false));
  EXPECT_TRUE(plain->subviews().empty());
  ASSERT_TRUE(waitForOutcome());
  manager->setRemoteCache({});

  // A custom loader is centred but, not being a spinner, not animated; the
  // view going away before the answer only takes the loader down.
  auto custom = UIView::viewWithFrame(CGRectMake(0, 0, 20, 20));
  recorder->events.clear();
  {
    auto view = makeView();
    ASSERT_TRUE(load(view, url("/spin.gif"), true, custom));
    EXPECT_EQ(custom->superview(), view);
    view->layoutIfNeeded();
    EXPECT_DOUBLE_EQ(custom->center().x, 100);
    view->removeFromSuperview();
  }
  ASSERT_TRUE(RunMainLoopUntil([&] { return !custom->superview(); }));
  EXPECT_TRUE(recorder->events.empty());
  EXPECT_FALSE(manager->remoteCacheObjectForURL(*url("/spin.gif")));

  // The convenience view loads through the shared session with a spinner.
  auto made = imageViewWithGifURL(url("/spin.gif"), manager, 2);
  ASSERT_EQ(made->subviews().size(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<UIActivityIndicatorView>(made->subviews()[0]));
  window->addSubview(made);
  ASSERT_TRUE(RunMainLoopUntil([&] { return manager->containsImageView(made); }));
  EXPECT_EQ(loopCount(*made), 2);
  EXPECT_TRUE(made->subviews().empty());
}

}  // namespace

}  // namespace gif_url_loading_test

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/uikit/UIApplication.h"
#include "plugins/url_launcher/URLLauncherPlugin.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"
#include "support/network/LoopbackHttpServer.h"

using namespace url_launcher_ios;

// Readable failures.
void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }

namespace url_launcher_plugin_test {

namespace {

const std::string kApi = "dev.flutter.pigeon.url_launcher_ios.UrlLauncherApi.";
const Value kVoid = Value::list({Value()});

Value launched(LaunchResult r) { return Value::list({LaunchResultValue(r)}); }
Value loaded(InAppLoadResult r) { return Value::list({InAppLoadResultValue(r)}); }

// Answers per URL and records what it was asked; opening completes later on
// the main run loop, as the platform's completion does.
class ScriptedOpener : public UIApplicationURLOpener {
 public:
  bool canOpenURL(const NSURL& url) override {
    asked.push_back(url.absoluteString());
    return url.scheme() == std::optional<std::string>("https");
  }
  void openURL(const NSURLPtr& url, const Value& options,
               UIApplicationOpenURLCompletion completion) override {
    opened.push_back(url->absoluteString());
    lastOptions = options;
    bool ok = url->scheme() == std::optional<std::string>("https");
    NSRunLoop::mainRunLoop().perform(
        [completion = std::move(completion), ok]() mutable { completion(ok); });
  }
  std::vector<std::string> asked, opened;
  Value lastOptions;
};

class URLLauncher : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    UIApplication::sharedApplication()->setURLOpener(opener_);
    URLLauncherPlugin::registerWithRegistrar(peer_.registrar("URLLauncherPlugin"));
    plugin_ =
        peer_.engine()->valuePublishedByPlugin("URLLauncherPlugin").objectAs<URLLauncherPlugin>();
  }
  void TearDown() override {
    UIApplication::sharedApplication()->setURLOpener(nullptr);
    PlatformTest::TearDown();
  }

  Value send(const std::string& op, const Value& message) {
    auto reply = peer_.message(kApi + op, message, MessagesPigeonCodec::shared());
    EXPECT_TRUE(reply.has_value()) << op;
    return reply.value_or(Value("no reply"));
  }
  // Sends without waiting; the slot fills when the reply comes.
  std::shared_ptr<std::optional<Value>> start(const std::string& op, const Value& message) {
    auto slot = std::make_shared<std::optional<Value>>();
    auto codec = MessagesPigeonCodec::shared();
    peer_.engine()->handleMessageFromDart(kApi + op, FlutterMakeMessage(codec->encode(message)),
                                          [slot, codec](FlutterBinaryMessage reply) {
                                            ASSERT_FALSE(slot->has_value()) << "replied twice";
                                            *slot = reply ? codec->decode(*reply)
                                                          : Value("empty reply");
                                          });
    NSRunLoop::mainRunLoop().runUntilIdle();
    return slot;
  }
  std::shared_ptr<std::optional<Value>> open(const std::string& url) {
    return start("openUrlInSafariViewController", Value::list({Value(url)}));
  }
  std::shared_ptr<SFSafariViewController> showing() {
    return std::dynamic_pointer_cast<SFSafariViewController>(root_->presentedViewController());
  }
  void attachViewController() { peer_.engine()->setViewController(root_); }
  // A page that loads, and one whose server never answers.
  std::string page() {
    server_.script("/page",
                   ScriptedResponse(200, {{"Content-Type", "text/html"}}, "<title>Page</title>"));
    return server_.url("/page");
  }
  std::string stalled(const std::string& path) {
    ScriptedResponse hang;
    hang.hang = true;
    server_.script(path, hang);
    return server_.url(path);
  }
  static bool waitFor(const std::shared_ptr<std::optional<Value>>& reply) {
    return RunMainLoopUntil([&] { return reply->has_value(); });
  }

  std::shared_ptr<ScriptedOpener> opener_ = std::make_shared<ScriptedOpener>();
  LoopbackHttpServer server_;
  TestPeer peer_;
  std::shared_ptr<URLLauncherPlugin> plugin_;
  std::shared_ptr<UIViewController> root_ = std::make_shared<UIViewController>();
};

using URLLauncherCodec = PlatformTest;

TEST_F(URLLauncherCodec, EnumerationsOnTheWire) {
  auto codec = MessagesPigeonCodec::shared();
  EXPECT_EQ(codec->encode(LaunchResultValue(LaunchResult::invalidUrl)),
            (Bytes{0x81, 0x03, 0x02, 0x00, 0x00, 0x00}));
  EXPECT_EQ(codec->decode(Bytes{0x82, 0x03, 0x04, 0x00, 0x00, 0x00}),
            InAppLoadResultValue(InAppLoadResult::dismissed));
  // Out of range, or null: absent.
  EXPECT_TRUE(codec->decode(Bytes{0x81, 0x03, 0x03, 0x00, 0x00, 0x00}).isNull());
  EXPECT_TRUE(codec->decode(Bytes{0x82, 0x03, 0x05, 0x00, 0x00, 0x00}).isNull());
  EXPECT_TRUE(codec->decode(Bytes{0x82, 0x00}).isNull());
  EXPECT_FALSE(LaunchResultFromRaw(-1));
  EXPECT_EQ(InAppLoadResultFromRaw(3), std::optional<InAppLoadResult>(InAppLoadResult::noUI));
}

TEST_F(URLLauncher, CanLaunchAndLaunchThroughTheApplication) {
  EXPECT_EQ(send("canLaunchUrl", Value::list({"https://example.com/a?b=c"})),
            launched(LaunchResult::success));
  EXPECT_EQ(send("canLaunchUrl", Value::list({"tel:123"})), launched(LaunchResult::failure));

  EXPECT_EQ(send("launchUrl", Value::list({"https://example.com", false})),
            launched(LaunchResult::success));
  // The option travels also when it is false.
  EXPECT_EQ(opener_->lastOptions,
            Value::map({{UIApplicationOpenURLOptionUniversalLinksOnly, Value(false)}}));
  EXPECT_EQ(send("launchUrl", Value::list({"mailto:a@b.c", true})),
            launched(LaunchResult::failure));
  EXPECT_EQ(opener_->lastOptions,
            Value::map({{UIApplicationOpenURLOptionUniversalLinksOnly, Value(true)}}));
}

TEST_F(URLLauncher, InvalidUrlsNeverReachThePlatform) {
  std::string huge = "https://example.com/" + std::string(70 * 1024, 'a');
  for (const std::string& bad :
       {std::string(""), std::string("not a url"), std::string("https://exa mple.com"),
        std::string("http://%zz"), huge}) {
    EXPECT_EQ(send("canLaunchUrl", Value::list({Value(bad)})), launched(LaunchResult::invalidUrl));
    EXPECT_EQ(send("launchUrl", Value::list({Value(bad), false})),
              launched(LaunchResult::invalidUrl));
    EXPECT_EQ(*open(bad), std::optional<Value>(loaded(InAppLoadResult::invalidUrl)));
  }
  EXPECT_TRUE(opener_->asked.empty());
  EXPECT_TRUE(opener_->opened.empty());
}

// The application decides what may reach an opener, whichever opener it has.
TEST_F(URLLauncher, AnyOpenerIsHandedOnlyAbsoluteURLsInNormalForm) {
  for (const char* url : {"-h", "-oProxyCommand=id", "/etc/passwd", "../../etc/passwd",
                          "~/.bashrc", "file:///etc/shadow"}) {
    EXPECT_EQ(send("canLaunchUrl", Value::list({Value(url)})), launched(LaunchResult::failure))
        << url;
    EXPECT_EQ(send("launchUrl", Value::list({Value(url), false})), launched(LaunchResult::failure))
        << url;
  }
  EXPECT_TRUE(opener_->asked.empty());
  EXPECT_TRUE(opener_->opened.empty());
  EXPECT_EQ(send("canLaunchUrl", Value::list({"HTTPS://example.com/a/./b/../c"})),
            launched(LaunchResult::success));
  EXPECT_EQ(send("launchUrl", Value::list({"HTTPS://example.com/a/./b/../c", false})),
            launched(LaunchResult::success));
  EXPECT_EQ(opener_->asked, std::vector<std::string>{"https://example.com/a/c"});
  EXPECT_EQ(opener_->opened, std::vector<std::string>{"https://example.com/a/c"});
}

TEST_F(URLLauncher, InAppBrowserNeedsAViewController) {
  EXPECT_EQ(*open("https://example.com"), std::optional<Value>(loaded(InAppLoadResult::noUI)));
  EXPECT_FALSE(plugin_->currentSession());
  // Closing with nothing showing answers at once.
  EXPECT_EQ(send("closeSafariViewController", Value()), kVoid);
}

TEST_F(URLLauncher, InAppBrowserRepliesOnceForItsFirstLoad) {
  attachViewController();
  auto reply = open(page());
  EXPECT_FALSE(reply->has_value());
  auto browser = showing();
  ASSERT_TRUE(browser);
  EXPECT_EQ(browser->URL()->absoluteString(), server_.url("/page"));
  EXPECT_EQ(plugin_->currentSession()->safariViewController(), browser);

  ASSERT_TRUE(waitFor(reply));
  EXPECT_EQ(*reply, std::optional<Value>(loaded(InAppLoadResult::success)));
  // Closing after the first load sends nothing more (a second reply would
  // fail the slot's check) and ends the session.
  browser->userDidTapDone();
  EXPECT_FALSE(showing());
  EXPECT_FALSE(plugin_->currentSession());

  reply = open("http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/");
  ASSERT_TRUE(waitFor(reply));
  EXPECT_EQ(*reply, std::optional<Value>(loaded(InAppLoadResult::failedToLoad)));
  EXPECT_EQ(send("closeSafariViewController", Value()), kVoid);
  EXPECT_FALSE(showing());
}

TEST_F(URLLauncher, ClosingBeforeTheFirstLoadRepliesDismissed) {
  attachViewController();
  auto byUser = open(stalled("/1"));
  showing()->userDidTapDone();
  EXPECT_EQ(*byUser, std::optional<Value>(loaded(InAppLoadResult::dismissed)));
  EXPECT_FALSE(plugin_->currentSession());

  auto byDart = open(stalled("/2"));
  EXPECT_EQ(send("closeSafariViewController", Value()), kVoid);
  EXPECT_EQ(*byDart, std::optional<Value>(loaded(InAppLoadResult::dismissed)));
  EXPECT_FALSE(showing());
}

TEST_F(URLLauncher, InAppBrowserShowsOverTheTopmostPresentedController) {
  attachViewController();
  auto sheet = std::make_shared<UIViewController>();
  auto overSheet = std::make_shared<UIViewController>();
  root_->presentViewController(sheet, false);
  sheet->presentViewController(overSheet, false);

  auto reply = open(stalled("/over"));
  auto browser =
      std::dynamic_pointer_cast<SFSafariViewController>(overSheet->presentedViewController());
  ASSERT_TRUE(browser);
  EXPECT_EQ(browser->presentingViewController(), overSheet);
  EXPECT_EQ(root_->presentedViewController(), sheet);
  EXPECT_EQ(sheet->presentedViewController(), overSheet);

  EXPECT_EQ(send("closeSafariViewController", Value()), kVoid);
  EXPECT_EQ(*reply, std::optional<Value>(loaded(InAppLoadResult::dismissed)));
  EXPECT_EQ(overSheet->presentedViewController(), nullptr);
  EXPECT_EQ(sheet->presentedViewController(), overSheet);  // the rest stays up
  root_->dismissViewControllerAnimated(false);
}

TEST_F(URLLauncher, ReplacedSessionEndsWithoutClearingTheNewOne) {
  attachViewController();
  auto first = open(stalled("/first"));
  auto firstBrowser = showing();
  auto second = open(stalled("/second"));
  // The earlier browser made way for the later one, and its end left the
  // later session in place.
  EXPECT_EQ(*first, std::optional<Value>(loaded(InAppLoadResult::dismissed)));
  auto secondBrowser = showing();
  ASSERT_TRUE(secondBrowser);
  EXPECT_NE(secondBrowser, firstBrowser);
  ASSERT_TRUE(plugin_->currentSession());
  EXPECT_EQ(plugin_->currentSession()->safariViewController(), secondBrowser);
  EXPECT_FALSE(second->has_value());

  EXPECT_EQ(send("closeSafariViewController", Value()), kVoid);
  EXPECT_EQ(*second, std::optional<Value>(loaded(InAppLoadResult::dismissed)));
  EXPECT_FALSE(plugin_->currentSession());
}

TEST_F(URLLauncher, MalformedRequestsAreErrors) {
  auto isInvalid = [](const Value& reply) {
    return reply.size() == 3 && *reply.at(0) == Value(PigeonInvalidRequestCode);
  };
  EXPECT_TRUE(isInvalid(send("canLaunchUrl", Value::list({1}))));
  EXPECT_TRUE(isInvalid(send("launchUrl", Value::list({"https://a.b"}))));
  EXPECT_TRUE(isInvalid(send("launchUrl", Value::list({"https://a.b", Value()}))));
  EXPECT_TRUE(isInvalid(**start("openUrlInSafariViewController", Value("https://a.b"))));
  EXPECT_TRUE(opener_->opened.empty());
}

// The application's own opener runs QX_OPEN_URL_COMMAND with the URL.
TEST_F(URLLauncher, DefaultOpenerRunsTheConfiguredProgram) {
  UIApplication::sharedApplication()->setURLOpener(nullptr);
  ::unsetenv("QX_OPEN_URL_COMMAND");
  EXPECT_EQ(send("canLaunchUrl", Value::list({"https://example.com"})),
            launched(LaunchResult::failure));
  EXPECT_EQ(send("launchUrl", Value::list({"https://example.com", false})),
            launched(LaunchResult::failure));

  ::setenv("QX_OPEN_URL_COMMAND", "true", 1);
  EXPECT_EQ(send("canLaunchUrl", Value::list({"https://example.com"})),
            launched(LaunchResult::success));
  EXPECT_EQ(send("launchUrl", Value::list({"https://example.com", false})),
            launched(LaunchResult::success));
  // Nothing claims universal links here.
  EXPECT_EQ(send("launchUrl", Value::list({"https://example.com", true})),
            launched(LaunchResult::failure));
  ::setenv("QX_OPEN_URL_COMMAND", "false", 1);
  EXPECT_EQ(send("launchUrl", Value::list({"https://example.com", false})),
            launched(LaunchResult::failure));
  ::setenv("QX_OPEN_URL_COMMAND", "/nonexistent/opener", 1);
  EXPECT_EQ(send("launchUrl", Value::list({"https://example.com", false})),
            launched(LaunchResult::failure));
  ::unsetenv("QX_OPEN_URL_COMMAND");
}

TEST_F(URLLauncher, SetUpWithSuffixAndWithoutApi) {
  auto messenger = peer_.registrar("Other")->messenger();
  UrlLauncherApiSetup::setUp(messenger, plugin_, "two");
  EXPECT_EQ(*peer_.message(kApi + "canLaunchUrl.two", Value::list({"https://a.b"}),
                           MessagesPigeonCodec::shared()),
            launched(LaunchResult::success));
  UrlLauncherApiSetup::setUp(messenger, nullptr);
  for (const char* op : {"canLaunchUrl", "launchUrl", "openUrlInSafariViewController",
                         "closeSafariViewController"}) {
    EXPECT_FALSE(peer_.engine()->hasHandler(kApi + op)) << op;
    EXPECT_TRUE(peer_.engine()->hasHandler(kApi + op + ".two")) << op;
  }
}

// An opener script in a scratch folder: it records each call's arguments as
// one line, then runs `then`.
class ScriptedCommand {
 public:
  explicit ScriptedCommand(const std::string& then = "true") {
    log_ = folder_.path() + "/calls";
    script_ = folder_.writeFile("opener", "#!/bin/sh\necho \"$#:$1\" >> '" + log_ + "'\nexec " + then + "\n");
    ::chmod(script_.c_str(), 0755);
    ::setenv("QX_OPEN_URL_COMMAND", script_.c_str(), 1);
  }
  ~ScriptedCommand() { ::unsetenv("QX_OPEN_URL_COMMAND"); }
  std::string calls() const {
    std::ifstream in(log_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  const TempFolder& folder() const { return folder_; }

 private:
  TempFolder folder_;
  std::string log_, script_;
};

TEST_F(URLLauncher, OnlyAbsoluteURLsReachTheOpenerInNormalForm) {
  UIApplication::sharedApplication()->setURLOpener(nullptr);
  ScriptedCommand command;
  TempFolder container;
  ScriptedLocations::installed().setContainerRoot(container.path());
  const std::string inside = container.writeFile("Documents/a b.txt", std::string("x"));
  ::symlink("/etc/passwd", (container.path() + "/Documents/link").c_str());
  for (const std::string& url :
       {std::string("-h"), std::string("--renderer-cmd-prefix=/tmp/x.sh"),
        std::string("-oProxyCommand=id"), std::string("/etc/passwd"),
        std::string("../../etc/passwd"), std::string("~/.bashrc"), std::string("file:///etc/shadow"),
        std::string("file:../../etc/passwd"), "file://" + container.path() + "/../etc/passwd",
        "file://elsewhere" + container.path() + "/Documents/a%20b.txt", "file://" + container.path() + "/Documents/link",
        "file://" + container.path() + "/Documents/missing"}) {
    EXPECT_EQ(send("canLaunchUrl", Value::list({Value(url)})), launched(LaunchResult::failure))
        << url;
    EXPECT_EQ(send("launchUrl", Value::list({Value(url), false})), launched(LaunchResult::failure))
        << url;
  }
  EXPECT_EQ(command.calls(), "");

  EXPECT_EQ(send("canLaunchUrl", Value::list({"HTTPS://example.com/a/./b/../c?q=../x"})),
            launched(LaunchResult::success));
  EXPECT_EQ(send("launchUrl", Value::list({"HTTPS://example.com/a/./b/../c?q=../x", false})),
            launched(LaunchResult::success));
  const std::string insideURL = "file://localhost" + container.path() + "/Documents/./a%20b.txt";
  EXPECT_EQ(send("canLaunchUrl", Value::list({Value(insideURL)})), launched(LaunchResult::success));
  EXPECT_EQ(send("launchUrl", Value::list({Value(insideURL), false})),
            launched(LaunchResult::success));
  char* canonical = ::realpath(inside.c_str(), nullptr);
  ASSERT_TRUE(canonical);
  EXPECT_EQ(command.calls(), "1:https://example.com/a/c?q=../x\n"
                             "1:" + NSURL::fileURLWithPath(canonical)->absoluteString() + "\n");
  std::free(canonical);
  ScriptedLocations::installed().setContainerRoot("");
}

TEST_F(URLLauncher, WaitingForTheOpenerHoldsNoDispatchWorker) {
  UIApplication::sharedApplication()->setURLOpener(nullptr);
  TempFolder scratch;
  // Every opener waits for the lock the test holds.
  const std::string lockPath = scratch.writeFile("lock", std::string());
  int lock = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  ScriptedCommand command("flock -s '" + lockPath + "' true");

  const int launches = DispatchWorkerTarget() + 2;
  std::vector<std::shared_ptr<std::optional<Value>>> replies;
  for (int i = 0; i < launches; ++i) {
    replies.push_back(start("launchUrl", Value::list({"https://example.com/" + std::to_string(i), false})));
  }
  // Other work on the shared pool still runs while every opener waits.
  std::mutex mutex;
  std::condition_variable cv;
  bool ran = false;
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Utility), [&] {
    std::lock_guard<std::mutex> guard(mutex);
    ran = true;
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> guard(mutex);
    EXPECT_TRUE(cv.wait_for(guard, std::chrono::seconds(10), [&] { return ran; }));
  }
  for (const auto& reply : replies) EXPECT_FALSE(reply->has_value());
  ::close(lock);
  ASSERT_TRUE(TestPeer::pumpUntil([&] {
    for (const auto& reply : replies) {
      if (!reply->has_value()) return false;
    }
    return true;
  }, 10));
  for (const auto& reply : replies) EXPECT_EQ(**reply, launched(LaunchResult::success));
  std::unique_lock<std::mutex> guard(mutex);
  cv.wait_for(guard, std::chrono::seconds(10), [&] { return ran; });
}

}  // namespace

}  // namespace url_launcher_plugin_test

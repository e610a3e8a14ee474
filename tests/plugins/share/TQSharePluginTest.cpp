#include <gtest/gtest.h>

#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIWindow.h"
#include "plugins/share/internal/ShareData.h"
#include "plugins/share/TQSharePlugin.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace tq_share_plugin_test {

namespace {

const char* const kChannel = "dev.tarnquell.plugins/share";

class TQSharePluginTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    TQSharePlugin::registerWithRegistrar(peer_.registrar("TQSharePlugin"));
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    root_ = std::make_shared<UIViewController>();
    window_->setRootViewController(root_);
    window_->makeKeyAndVisible();
  }
  void TearDown() override {
    root_->dismissViewControllerAnimated(false);
    UIDevice::currentDevice()->setUserInterfaceIdiom(UIUserInterfaceIdiomPhone);
    PlatformTest::TearDown();
  }

  // Calls "share" and, once the sheet is up, lets `user` act on it the way a
  // person would; `user` sees nullptr when nothing was presented.
  FlutterMethodOutcome share(
      const Value& args,
      std::function<void(const std::shared_ptr<UIActivityViewController>&)> user) {
    NSRunLoop::mainRunLoop().perform([this, user] {
      auto sheet = std::dynamic_pointer_cast<UIActivityViewController>(
          TQSharePlugin::topViewControllerFrom(root_));
      sheet_ = sheet;
      user(sheet);
    });
    auto outcome = peer_.call(kChannel, "share", args);
    advance(1);  // the sheet's presentation and dismissal animations
    return outcome;
  }
  // A call answered before any sheet appears.
  FlutterMethodOutcome rejected(const Value& args) {
    auto o = share(args, [](const auto& sheet) { EXPECT_EQ(sheet, nullptr); });
    EXPECT_EQ(root_->presentedViewController(), nullptr);
    return o;
  }
  static void pick(const std::shared_ptr<UIActivityViewController>& sheet, const char* type) {
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->completeWithActivityType(std::string(type), true));
  }

  TestPeer peer_;
  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<UIViewController> root_;
  std::shared_ptr<UIActivityViewController> sheet_;
};

std::string errorOf(const FlutterMethodOutcome& o) {
  return IsError(o, "error") ? o.message.value_or("<no message>") : "<not an error>";
}

TEST_F(TQSharePluginTest, RejectsBadArgumentsInOrderBeforePresenting) {
  struct Case {
    Value args;
    const char* message;
  };
  const Case cases[] = {
      {Value::map({{"text", ""}, {"title", ""}}), "Non-empty text expected"},
      {Value::map({{"text", "t"}, {"title", ""}, {"subject", "s"}}), "Non-empty title expected"},
      // Without a title the subject is the one checked.
      {Value::map({{"text", "t"}, {"subject", ""}}), "Non-empty title expected"},
      {Value::map({{"uri", ""}, {"paths", Value::list({})}}), "Non-empty uri expected"},
      {Value::map({{"paths", Value::list({})}}), "Non-empty paths expected"},
      {Value::map({{"paths", Value::list({"/a", ""})}}), "Each path must not be empty"},
      {Value::map(
           {{"paths", Value::list({"/a", "/b"})}, {"mimeTypes", Value::list({"text/plain"})}}),
       "Paths and mimeTypes should have same length"},
      {Value::map({{"originX", 1.0}}), "No share content provided"},
      {Value::map({{"text", 5}}), "Expected a string for \"text\""},
      {Value::map({{"paths", Value::list({"/a", 3})}}), "Expected a list of strings for \"paths\""},
      {Value::map({{"text", "t"}, {"originY", "top"}}), "Expected a number for \"originY\""},
      {Value::list({"text"}), "Expected a map of share arguments"},
      {Value::map({{"uri", "not a uri"}}), "Invalid uri: not a uri"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.description());
    EXPECT_EQ(errorOf(rejected(c.args)), c.message);
  }
  EXPECT_TRUE(IsNotImplemented(peer_.call(kChannel, "shareFiles", Value::map({{"text", "t"}}))));
}

TEST_F(TQSharePluginTest, NeedsAKeyWindowButValidatesFirst) {
  window_.reset();
  EXPECT_EQ(errorOf(rejected(Value::map({{"text", ""}}))), "Non-empty text expected");
  EXPECT_EQ(errorOf(rejected(Value::map({{"text", "hello"}}))), "No root view controller found");
}

TEST_F(TQSharePluginTest, SharesOnlyTheUriOverPathsAndTextAndAnswersTheCompletedActivity) {
  auto o = share(Value::map({{"paths", Value::list({"/some/file.txt"})},
                             {"uri", "https://example.com/a?b=1"},
                             {"text", "t"},
                             {"title", "T"}}),
                 [](const auto& sheet) { pick(sheet, UIActivityTypeMail); });
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_EQ(o.result, Value(UIActivityTypeMail));
  ASSERT_EQ(sheet_->activityItems().size(), 1u);
  auto url = sheet_->activityItems()[0].objectAs<NSURL>();
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(url->absoluteString(), "https://example.com/a?b=1");
  EXPECT_TRUE(sheet_->valueForKey("subject").isNull());
  EXPECT_EQ(root_->presentedViewController(), nullptr);  // the sheet went away
}

TEST_F(TQSharePluginTest, PathsThatDoNotExistAreSharedLikeAnyOther) {
  TempFolder temp;
  std::string a = temp.writeFile("here.txt", "present");
  const std::string missing = temp.path() + "/gone.png";
  auto o = share(Value::map({{"paths", Value::list({missing, a})},
                             {"mimeTypes", Value::list({"image/png", "text/plain"})}}),
                 [](const auto& sheet) { pick(sheet, UIActivityTypeAirDrop); });
  EXPECT_EQ(o.result, Value(UIActivityTypeAirDrop));
  ASSERT_NE(sheet_, nullptr);
  const auto& items = sheet_->activityItems();
  ASSERT_EQ(items.size(), 2u);
  ASSERT_NE(items[0].objectAs<ShareData>(), nullptr);
  EXPECT_EQ(items[0].objectAs<ShareData>()->path(), missing);
  EXPECT_EQ(items[0].objectAs<ShareData>()->mimeType(), "image/png");
  auto airDrop = sheet_->itemsForActivityType(std::string(UIActivityTypeAirDrop));
  ASSERT_EQ(airDrop.size(), 2u);
  ASSERT_NE(airDrop[0].objectAs<NSURL>(), nullptr);
  EXPECT_EQ(airDrop[0].objectAs<NSURL>()->path(), missing);
  EXPECT_EQ(airDrop[1].objectAs<NSURL>()->path(), a);
}

TEST_F(TQSharePluginTest, ClosingWithoutAnActivityAnswersTheEmptyString) {
  auto o = share(Value::map({{"text", "hello"}, {"subject", "S"}}), [](const auto& sheet) {
    ASSERT_NE(sheet, nullptr);
    sheet->completeWithActivityType(std::nullopt, false);
  });
  EXPECT_EQ(o.result, Value(""));
  // An activity that was started but not completed answers the same.
  o = share(Value::map({{"text", "hello"}}), [](const auto& sheet) {
    ASSERT_NE(sheet, nullptr);
    sheet->completeWithActivityType(std::string(UIActivityTypeMessage), false);
  });
  EXPECT_EQ(o.result, Value(""));
  EXPECT_FALSE(sheet_->completeWithActivityType(std::nullopt, false));  // already closed
}

TEST_F(TQSharePluginTest, SharesOneItemPerPathThenTheTextWithTheTitleAsSubject) {
  TempFolder temp;
  std::string a = temp.writeFile("notes.txt", "some notes");
  std::string b = temp.writeFile("data", "raw");
  auto args = Value::map(
      {{"paths", Value::list({a, b})},
       {"mimeTypes", Value::list({"text/plain", "application/octet-stream"})},
       {"text", "look"},
       {"title", "Title"},
       {"subject", ""},
       {"excludedCupertinoActivities", Value::list({"mail", "noSuchActivity", "airDrop"})}});
  auto o = share(args, [](const auto& sheet) { pick(sheet, UIActivityTypePrint); });
  EXPECT_EQ(o.result, Value(UIActivityTypePrint));

  const auto& items = sheet_->activityItems();
  ASSERT_EQ(items.size(), 3u);
  auto first = items[0].objectAs<ShareData>();
  auto second = items[1].objectAs<ShareData>();
  auto last = items[2].objectAs<ShareData>();
  ASSERT_TRUE(first && second && last);
  EXPECT_EQ(first->path(), a);
  EXPECT_EQ(first->mimeType(), "text/plain");
  EXPECT_EQ(second->path(), b);
  EXPECT_EQ(last->text(), "look");
  EXPECT_EQ(last->path(), std::nullopt);
  EXPECT_EQ(sheet_->valueForKey("subject"), Value("Title"));
  EXPECT_EQ(sheet_->excludedActivityTypes(),
            (std::vector<UIActivityType>{UIActivityTypeMail, UIActivityTypeAirDrop}));

  auto mailItems = sheet_->itemsForActivityType(std::string(UIActivityTypeMail));
  ASSERT_EQ(mailItems.size(), 3u);
  EXPECT_EQ(mailItems[0].objectAs<NSURL>()->path(), a);
  EXPECT_EQ(mailItems[1].objectAs<NSURL>()->path(), b);
  EXPECT_EQ(mailItems[2], Value("look"));
  EXPECT_EQ(sheet_->subjectForActivityType(std::string(UIActivityTypeMail)), "Title");
}

TEST_F(TQSharePluginTest, FilesWithoutMimeTypesAreStillSharedAsFiles) {
  TempFolder temp;
  std::string a = temp.writeFile("report.pdf", "%PDF-1.4");
  auto o = share(
      Value::map({{"paths", Value::list({a})}, {"excludedCupertinoActivities", Value::list({})}}),
      [](const auto& sheet) { pick(sheet, UIActivityTypeAirDrop); });
  EXPECT_EQ(o.result, Value(UIActivityTypeAirDrop));
  EXPECT_TRUE(sheet_->excludedActivityTypes().empty());
  auto items = sheet_->itemsForActivityType(std::string(UIActivityTypeAirDrop));
  ASSERT_EQ(items.size(), 1u);
  ASSERT_NE(items[0].objectAs<NSURL>(), nullptr);
  EXPECT_EQ(items[0].objectAs<NSURL>()->path(), a);
  EXPECT_EQ(sheet_->placeholderItems().size(), 1u);
}

TEST_F(TQSharePluginTest, OnAPadTheOriginMustLieWithinTheViewBounds) {
  UIDevice::currentDevice()->setUserInterfaceIdiom(UIUserInterfaceIdiomPad);
  // The view sits 100 points down its window: its bounds start at 0, its frame at 100.
  root_->view()->setFrame(CGRectMake(0, 100, 390, 744));

  EXPECT_EQ(errorOf(rejected(Value::map({{"text", "t"}}))),
            "sharePositionOrigin: argument must be set, {{0, 0}, {0, 0}} must be non-zero and "
            "within coordinate space of source view: {{0, 0}, {390, 744}}");
  EXPECT_EQ(errorOf(rejected(Value::map({{"text", "t"},
                                         {"originX", 380},
                                         {"originY", 10.0},
                                         {"originWidth", 20},
                                         {"originHeight", 20}}))),
            "sharePositionOrigin: argument must be set, {{380, 10}, {20, 20}} must be non-zero and "
            "within coordinate space of source view: {{0, 0}, {390, 744}}");

  // Inside the bounds though above the frame's top: accepted.
  auto args = Value::map({{"text", "t"},
                          {"originX", 10},
                          {"originY", 20.5},
                          {"originWidth", 30},
                          {"originHeight", 40}});
  auto o = share(args, [this](const auto& sheet) {
    ASSERT_NE(sheet, nullptr);
    auto popover = sheet->popoverPresentationController();
    ASSERT_NE(popover, nullptr);
    EXPECT_EQ(popover->sourceView(), root_->view());
    EXPECT_EQ(popover->sourceRect(), CGRectMake(10, 20.5, 30, 40));
    pick(sheet, UIActivityTypeCopyToPasteboard);
  });
  EXPECT_EQ(o.result, Value(UIActivityTypeCopyToPasteboard));
}

TEST_F(TQSharePluginTest, OnAPhoneNoOriginIsNeeded) {
  auto o = share(Value::map({{"text", "t"}}), [](const auto& sheet) {
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->popoverPresentationController(), nullptr);
    pick(sheet, UIActivityTypeMessage);
  });
  EXPECT_EQ(o.result, Value(UIActivityTypeMessage));
}

TEST_F(TQSharePluginTest, PresentsOnTheTopmostPresentedController) {
  auto modal = std::make_shared<UIViewController>();
  root_->presentViewController(modal, false);
  auto o = share(Value::map({{"text", "t"}}), [&](const auto& sheet) {
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->presentingViewController(), modal);
    pick(sheet, UIActivityTypeMail);
  });
  EXPECT_EQ(o.result, Value(UIActivityTypeMail));
  EXPECT_EQ(root_->presentedViewController(), modal);
}

TEST_F(TQSharePluginTest, WalksThroughNavigationControllersToTheirVisibleController) {
  auto first = std::make_shared<UIViewController>();
  auto second = std::make_shared<UIViewController>();
  auto nav = std::make_shared<UINavigationController>(first);
  nav->pushViewController(second, false);
  root_->presentViewController(nav, false);
  EXPECT_EQ(TQSharePlugin::topViewControllerFrom(root_), second);
  auto o = share(Value::map({{"text", "t"}}), [&](const auto& sheet) {
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->presentingViewController(), second);
    pick(sheet, UIActivityTypeMail);
  });
  EXPECT_EQ(o.result, Value(UIActivityTypeMail));

  // A controller presented by the pushed one comes next; one presented by
  // the navigation controller itself is its visible controller.
  auto modal = std::make_shared<UIViewController>();
  second->presentViewController(modal, false);
  EXPECT_EQ(TQSharePlugin::topViewControllerFrom(root_), modal);
  second->dismissViewControllerAnimated(false);
  nav->presentViewController(modal, false);
  EXPECT_EQ(TQSharePlugin::topViewControllerFrom(root_), modal);
  nav->dismissViewControllerAnimated(false);
  EXPECT_EQ(TQSharePlugin::topViewControllerFrom(nav), second);
}

}  // namespace

}  // namespace tq_share_plugin_test

// The share sheet as a person meets it: opened through the channel over a
// window, read through its labelled views, tapped and dragged with touches.
#include <gtest/gtest.h>

#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIPasteboard.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewAccessibility.h"
#include "platform/uikit/UIWindow.h"
#include "plugins/share/TQSharePlugin.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace share_sheet_screen_test {

namespace {

// A mail handler that answers as told and keeps the URLs it was given.
class MailHandler : public UIApplicationURLOpener {
 public:
  bool canOpenURL(const NSURL&) override { return true; }
  void openURL(const NSURLPtr& url, const Value&, UIApplicationOpenURLCompletion done) override {
    opened.push_back(url->absoluteString());
    done(sends);
  }
  std::vector<std::string> opened;
  bool sends = true;
};

class ShareSheetScreen : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    TQSharePlugin::registerWithRegistrar(peer_.registrar("TQSharePlugin"));
    window_->setRootViewController(std::make_shared<UIViewController>());
    window_->makeKeyAndVisible();
  }
  void TearDown() override {
    UIApplication::sharedApplication()->setURLOpener(nullptr);
    PlatformTest::TearDown();
  }
  // Opens the sheet and lets its presentation finish.
  void share(const Value& args) {
    reply_.reset();
    peer_.callAsync("dev.tarnquell.plugins/share", "share", args,
                    [this](const FlutterMethodOutcome& o) { reply_ = o.result; });
    advance(1);
  }
  std::shared_ptr<UIView> find(const std::string& label,
                               const std::shared_ptr<UIView>& from = nullptr) {
    auto view = from ? from : std::static_pointer_cast<UIView>(window_);
    if (UIViewAccessibilityLabel(*view) == label) return view;
    for (const auto& child : view->subviews()) {
      if (auto found = find(label, child)) return found;
    }
    return nullptr;
  }
  std::vector<std::string> texts(const std::shared_ptr<UIView>& view) {
    std::vector<std::string> out;
    if (auto l = std::dynamic_pointer_cast<UILabel>(view)) out.push_back(l->text());
    for (const auto& child : view->subviews()) {
      auto more = texts(child);
      out.insert(out.end(), more.begin(), more.end());
    }
    return out;
  }
  CGRect frameOf(const std::string& label) {
    auto view = find(label);
    return view ? view->convertRectToView(view->bounds(), window_.get()) : CGRectNull;
  }
  void tap(const std::string& label) {
    CGRect f = frameOf(label);
    ASSERT_FALSE(CGRectIsNull(f)) << label;
    hand_.tap(CGPointMake(CGRectGetMidX(f), CGRectGetMidY(f)));
    advance(1);
  }
  void snapshot(const std::string& name) {
    SaveSnapshot(RenderView(*window_, UIScreen::mainScreen()->scale()), name);
  }

  TestPeer peer_;
  std::shared_ptr<UIWindow> window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  UITouchDriver hand_{window_};
  std::optional<Value> reply_;
};

TEST_F(ShareSheetScreen, ShowsTheTextAndClosesByItsButtonOrAPullFarEnough) {
  const double limit = UIActivityViewController::kDismissDistance;
  for (double pull : {limit - 1, limit}) {
    SCOPED_TRACE(pull);
    share(Value::map({{"text", "Hello there"}, {"subject", "Greeting"}}));
    auto card = find("Share sheet");
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(texts(card), (std::vector<std::string>{"Aa", "Greeting", "Hello there", "Copy"}));
    ASSERT_TRUE(find("Close"));
    CGRect resting = frameOf("Share sheet");
    EXPECT_EQ(CGRectGetMaxY(resting), 844 + 12);  // only its top corners show round
    if (pull < limit) snapshot("share-sheet-text");

    CGPoint grab = CGPointMake(195, CGRectGetMinY(resting) + 8);
    hand_.drag({grab, CGPointMake(195, grab.y + pull)}, 0.5);
    advance(1);
    if (pull < limit) {
      EXPECT_FALSE(reply_);
      EXPECT_EQ(frameOf("Share sheet"), resting);  // sprang back
      tap("Close");
    }
    EXPECT_EQ(reply_, Value(""));
    EXPECT_FALSE(find("Share sheet"));
  }
}

TEST_F(ShareSheetScreen, ActivitiesDoWhatTheySayAndAnswerTheirType) {
  share(Value::map({{"text", "copied words"}}));
  EXPECT_EQ(texts(find("Share sheet")),
            (std::vector<std::string>{"Aa", "copied words", "Plain Text", "Copy"}));
  EXPECT_FALSE(find("Mail"));  // nothing here opens mailto:
  tap("Copy");
  EXPECT_EQ(reply_, Value(UIActivityTypeCopyToPasteboard));
  EXPECT_EQ(UIPasteboard::generalPasteboard()->string(), "copied words");

  auto mail = std::make_shared<MailHandler>();
  UIApplication::sharedApplication()->setURLOpener(mail);
  share(Value::map({{"uri", "https://example.com/a"}}));
  ASSERT_TRUE(find("Copy") && find("Mail"));
  tap("Close");
  share(Value::map({{"text", "Hi & bye"},
                    {"subject", "Plans"},
                    {"excludedCupertinoActivities", Value::list({"copyToPasteboard"})}}));
  EXPECT_FALSE(find("Copy"));
  snapshot("share-sheet-mail-only");
  tap("Mail");
  EXPECT_EQ(reply_, Value(UIActivityTypeMail));
  EXPECT_EQ(mail->opened, std::vector<std::string>{"mailto:?subject=Plans&body=Hi%20%26%20bye"});

  mail->sends = false;  // the mail handler gave up: not completed
  share(Value::map({{"text", "again"}}));
  tap("Mail");
  EXPECT_EQ(reply_, Value(""));
}

TEST_F(ShareSheetScreen, FilesShowTheirNamesAndAnImageItsThumbnail) {
  TempFolder temp;
  const std::string photo = temp.path() + "/photo.jpg";
  ASSERT_TRUE(
      il_test::StillFile("public.jpeg", il_test::PatternImage(120, 80))->writeToFile(photo, true));
  const std::string notes = temp.writeFile("notes.txt", "some notes");
  // Mail could be sent, but a mailto: URL carries no files.
  UIApplication::sharedApplication()->setURLOpener(std::make_shared<MailHandler>());

  share(Value::map({{"paths", Value::list({photo})}, {"mimeTypes", Value::list({"image/jpeg"})}}));
  auto thumb = std::dynamic_pointer_cast<UIImageView>(find("Preview"));
  ASSERT_TRUE(thumb && thumb->image());
  EXPECT_EQ(thumb->image()->size(), CGSizeMake(52, 52));
  auto shown = texts(find("Share sheet"));
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0], "photo.jpg");
  EXPECT_EQ(shown[1].rfind("JPG \u2022 ", 0), 0u) << shown[1];
  EXPECT_FALSE(find("Mail"));
  snapshot("share-sheet-photo");
  tap("Close");
  EXPECT_EQ(reply_, Value(""));

  share(Value::map({{"paths", Value::list({photo, notes})}, {"text", "see these"}}));
  EXPECT_EQ(
      texts(find("Share sheet")),
      (std::vector<std::string>{"JPG", "3 Items", "photo.jpg, notes.txt, see these", "Copy"}));
  tap("Copy");
  EXPECT_EQ(UIPasteboard::generalPasteboard()->URLs().size(), 2u);
  EXPECT_EQ(UIPasteboard::generalPasteboard()->strings(), std::vector<std::string>{"see these"});
}

}  // namespace

}  // namespace share_sheet_screen_test

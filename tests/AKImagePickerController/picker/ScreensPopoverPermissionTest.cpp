#include <gtest/gtest.h>

#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "AKImagePickerController/picker/internal/AKPermissionView.h"
#include "AKImagePickerController/picker/internal/AKPopoverViewController.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "ScreensTestSupport.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"
#include "support/ui/ScriptedDisplay.h"

namespace screens_popover_permission_test {

namespace {

class PopoverTest : public ScreensTest {
 protected:
  void SetUp() override {
    ScreensTest::SetUp();
    root = std::make_shared<UIViewController>();
    window = makeWindow(root);
    source = std::make_shared<UIView>(CGRectMake(100, 50, 80, 30));
    root->view()->addSubview(source);
    content = std::make_shared<UIViewController>();
    content->view()->setBackgroundColor(UIColor::whiteColor());
  }
  void TearDown() override {
    AKPopoverViewController::dismissPopoverViewController();
    advance(1);
    ScreensTest::TearDown();
  }
  std::shared_ptr<AKPopoverViewController> shown() {
    for (auto& child : root->childViewControllers()) {
      if (auto p = std::dynamic_pointer_cast<AKPopoverViewController>(child)) return p;
    }
    return nullptr;
  }
  size_t popoverCount() {
    size_t n = 0;
    for (auto& child : root->childViewControllers()) {
      n += std::dynamic_pointer_cast<AKPopoverViewController>(child) != nullptr;
    }
    return n;
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIViewController> root, content;
  std::shared_ptr<UIView> source;
};

TEST_F(PopoverTest, HangsBelowTheSourceWithTheArrowUnderItsCentre) {
  content->setPreferredContentSize(CGSizeMake(UIViewNoIntrinsicMetric, 210));
  AKPopoverViewController::popoverViewController(content, source, UIColor::redColor());
  auto popover = shown();
  ASSERT_TRUE(popover);
  EXPECT_EQ(popover->view()->window(), window);
  EXPECT_EQ(popover->contentViewController(), content);
  advance(1);  // the spring in has settled

  auto panel = popover->popoverView();
  EXPECT_EQ(panel->frame(), CGRectMake(0, 80, 375, 220));
  EXPECT_TRUE(CGAffineTransformEqualToTransform(panel->transform(), CGAffineTransformIdentity));
  // The apex sits under the source's centre (x 140).
  CGRect arrow = panel->arrowImageView()->frame();
  EXPECT_DOUBLE_EQ(CGRectGetMidX(panel->convertRectToView(arrow, nullptr)), 140);
  EXPECT_EQ(arrow.origin.y, 0);
  EXPECT_EQ(content->view()->frame(), CGRectMake(0, 10, 375, 210));
  EXPECT_EQ(content->view()->layer()->cornerRadius(), 5);
  EXPECT_TRUE(content->view()->clipsToBounds());
  // The backdrop dims the window; the arrow is drawn in the colour given.
  EXPECT_TRUE(popover->view()->backgroundColor()->isEqual(*UIColor::colorWithWhite(0, 0.4)));
  EXPECT_TRUE(panel->arrowColor()->isEqual(*UIColor::redColor()));
}

TEST_F(PopoverTest, WidthAndHeightFollowTheScreenAndTheContent) {
  // Taller than the room below the source: cut 40 points above the bottom.
  content->setPreferredContentSize(CGSizeMake(200, 2000));
  AKPopoverViewController::popoverViewController(content, source, nullptr);
  advance(1);
  auto popover = shown();
  EXPECT_EQ(popover->popoverView()->frame(), CGRectMake(87.5, 80, 200, 667 - 80 - 40));
  EXPECT_TRUE(popover->popoverView()->arrowColor()->isEqual(*UIColor::systemGray6Color()));

  // The content's preferred size changes while open: the panel follows in
  // 0.2 s and stays open.
  content->setPreferredContentSize(CGSizeMake(UIViewNoIntrinsicMetric, 140));
  advance(0.1);
  EXPECT_NE(popover->popoverView()->layer()->presentationLayer()->frame(),
            CGRectMake(0, 80, 375, 150));
  advance(0.15);
  EXPECT_EQ(popover->popoverView()->frame(), CGRectMake(0, 80, 375, 150));
  EXPECT_EQ(popoverCount(), 1u);
}

TEST_F(PopoverTest, APadGetsSixtyPercentOfTheWidthCentred) {
  UseScreenProfile(UIScreenProfile::pad());
  window->setFrame(CGRectMake(0, 0, 1024, 1366));
  content->setPreferredContentSize(CGSizeMake(UIViewNoIntrinsicMetric, 300));
  AKPopoverViewController::popoverViewController(content, source, nullptr);
  advance(1);
  auto panel = shown()->popoverView();
  EXPECT_DOUBLE_EQ(panel->frame().size.width, 1024 * 0.6);
  EXPECT_DOUBLE_EQ(panel->frame().origin.x, 1024 * 0.2);
  EXPECT_DOUBLE_EQ(panel->frame().size.height, 310);
}

TEST_F(PopoverTest, TheBackdropClosesItAndTheClassCallClosesThemAll) {
  content->setPreferredContentSize(CGSizeMake(UIViewNoIntrinsicMetric, 100));
  AKPopoverViewController::dismissPopoverViewController();  // none open: nothing happens
  AKPopoverViewController::popoverViewController(content, source, nullptr);
  advance(1);
  auto popover = shown();
  UITouchDriver hand(window);
  hand.tap(CGPointMake(180, 500));  // the dimmed backdrop
  advance(0.1);
  EXPECT_EQ(popoverCount(), 1u);  // closing takes 0.2 s
  advance(0.15);
  EXPECT_EQ(popoverCount(), 0u);
  EXPECT_FALSE(popover->view()->superview());
  EXPECT_TRUE(popover->view()->backgroundColor()->isEqual(*UIColor::clearColor()));

  // The observation ended: a later size change moves nothing.
  CGRect closedFrame = popover->popoverView()->frame();
  content->setPreferredContentSize(CGSizeMake(UIViewNoIntrinsicMetric, 300));
  advance(1);
  EXPECT_EQ(popover->popoverView()->frame(), closedFrame);

  auto other = std::make_shared<UIViewController>();
  AKPopoverViewController::popoverViewController(content, source, nullptr);
  AKPopoverViewController::popoverViewController(other, source, nullptr);
  EXPECT_EQ(popoverCount(), 2u);
  AKPopoverViewController::dismissPopoverViewController();
  advance(0.25);
  EXPECT_EQ(popoverCount(), 0u);
}

// Opening and closing are transitions: a finger put down meanwhile reaches
// nothing for its whole life, neither the panel, nor the backdrop (which
// would close it), nor what the closing panel uncovers. Closing holds the
// window for the platform's transition time, past the panel's 0.2 s.
TEST_F(PopoverTest, NoFingerIsTakenWhileItOpensOrCloses) {
  enum class On { Panel, Backdrop };
  struct Case {
    const char* name;
    bool closing;
    double after;  // seconds into the opening, or since the closing tap
    On on;
    bool taken;
  };
  const double open = 0.6, hold = UIViewController::kTransitionDuration;
  const Case cases[] = {
      {"opening, as it starts", false, 0, On::Panel, false},
      {"opening, mid-way", false, open / 2, On::Panel, false},
      {"opening, just before it ends", false, open - 0.01, On::Panel, false},
      {"opening, once it is over", false, open, On::Panel, true},
      {"opening, on the backdrop mid-way", false, open / 2, On::Backdrop, false},
      {"opening, on the backdrop once it is over", false, open, On::Backdrop, true},
      {"closing, as it starts", true, 0, On::Panel, false},
      {"closing, mid-way", true, 0.1, On::Panel, false},
      {"closing, as the panel has gone", true, 0.2, On::Panel, false},
      {"closing, just before the hold ends", true, hold - 0.01, On::Panel, false},
      {"closing, once the hold is over", true, hold, On::Panel, true},
  };
  content->setPreferredContentSize(CGSizeMake(UIViewNoIntrinsicMetric, 200));
  auto counting = [](const std::shared_ptr<UIView>& in, int& taps) {
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    button->setFrame(CGRectMake(0, 0, 375, 100));
    button->addTarget(
        button, [&taps](UIControl&, UIEvent*) { ++taps; }, UIControlEventTouchUpInside);
    in->addSubview(button);
  };
  int onPanel = 0, underPanel = 0;
  counting(content->view(), onPanel);  // window y 90 to 190
  auto under = std::make_shared<UIView>(CGRectMake(0, 90, 375, 100));
  root->view()->addSubview(under);
  counting(under, underPanel);
  UITouchDriver hand(window);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    onPanel = underPanel = 0;
    AKPopoverViewController::popoverViewController(content, source, nullptr);
    EXPECT_TRUE(window->isTransitioning());
    if (c.closing) {
      advance(open);
      hand.tap(CGPointMake(180, 500));  // the backdrop closes it
      EXPECT_TRUE(window->isTransitioning());
    }
    advance(c.after);
    EXPECT_EQ(window->isTransitioning(), !c.taken);
    auto finger = hand.down({c.on == On::Panel ? CGPointMake(187, 140) : CGPointMake(180, 500)});
    advance(1);
    EXPECT_FALSE(window->isTransitioning());
    hand.up(finger);
    advance(1);
    const bool closed = popoverCount() == 0;
    if (c.closing) {
      EXPECT_TRUE(closed);
      EXPECT_EQ(underPanel, c.taken ? 1 : 0) << "what the panel uncovered";
      EXPECT_EQ(onPanel, 0);
    } else if (c.on == On::Panel) {
      EXPECT_EQ(onPanel, c.taken ? 1 : 0);
      EXPECT_FALSE(closed);
    } else {
      EXPECT_EQ(closed, c.taken) << "a tap on the backdrop closes it";
      EXPECT_EQ(onPanel, 0);
    }
    AKPopoverViewController::dismissPopoverViewController();
    advance(1);
  }

  // Closed while still opening: the closing alone holds the window.
  AKPopoverViewController::popoverViewController(content, source, nullptr);
  advance(0.1);
  AKPopoverViewController::dismissPopoverViewController();
  advance(hold - 0.01);
  EXPECT_TRUE(window->isTransitioning());
  advance(0.01);
  EXPECT_FALSE(window->isTransitioning());
  EXPECT_EQ(popoverCount(), 0u);
}

TEST_F(PopoverTest, Picture) {
  content->setPreferredContentSize(CGSizeMake(UIViewNoIntrinsicMetric, 120));
  root->view()->setBackgroundColor(UIColor::whiteColor());
  source->setBackgroundColor(UIColor::systemBlueColor());
  AKPopoverViewController::popoverViewController(content, source, UIColor::systemGray6Color());
  advance(1);
  auto image = RenderView(*window, 1);
  SaveSnapshot(image, "picker-popover-plain");
  EXPECT_TRUE(MatchesGolden(image, "picker/picker-popover-plain.png", 3, 50));
}

// --- Permission view ---

class ScriptedOpener : public UIApplicationURLOpener {
 public:
  bool canOpenURL(const NSURL&) override { return true; }
  void openURL(const NSURLPtr& url, const Value&, UIApplicationOpenURLCompletion completion) override {
    opened.push_back(url->absoluteString());
    NSRunLoop::mainRunLoop().perform(
        [completion = std::move(completion)]() mutable { if (completion) completion(true); });
  }
  std::vector<std::string> opened;
};

class PermissionViewTest : public ScreensTest {
 protected:
  void SetUp() override {
    ScreensTest::SetUp();
    AKImagePickerControllerResource::setCustomLocalizationBlock(
        [this](const std::string& key) -> std::optional<std::string> {
          auto it = texts.find(key);
          if (it == texts.end()) return std::nullopt;
          return it->second;
        });
    colors = AKPermissionViewColors::pickerDefaults();
  }
  std::map<std::string, std::string> texts = {
      {"permission.photo.title", "Allow access to your photos"},
      {"permission.camera.title", "Allow camera"},
      {"permission.allow", "Open Settings"}};
  AKPermissionViewColorsPtr colors;
};

TEST_F(PermissionViewTest, StyleChoosesTextAndColour) {
  auto photo = AKPermissionView::permissionView(1, colors);
  EXPECT_EQ(photo->titleLabel()->text(), "Allow access to your photos");
  EXPECT_EQ(photo->titleLabel()->textColor(), colors->titlePhotoColor);
  EXPECT_EQ(photo->permitButton()->titleForState(UIControlStateNormal), "Open Settings");
  EXPECT_EQ(photo->permitButton()->titleColorForState(UIControlStateNormal),
            colors->permitButtonColor);
  EXPECT_EQ(photo->permitButton()->titleLabel()->font()->pointSize(), 16);
  for (int64_t style : {0, 2, -1}) {
    auto camera = AKPermissionView::permissionView(style, colors);
    EXPECT_EQ(camera->titleLabel()->text(), "Allow camera") << style;
    EXPECT_EQ(camera->titleLabel()->textColor(), colors->titleCameraColor) << style;
  }
}

TEST_F(PermissionViewTest, ButtonCentredUnderTheLabelAndViewWrapsBoth) {
  // A label narrower than its button.
  texts["permission.camera.title"] = "No";
  auto view = AKPermissionView::permissionView(0, colors);
  CGRect label = view->titleLabel()->frame(), button = view->permitButton()->frame();
  ASSERT_GT(button.size.width, label.size.width);
  EXPECT_DOUBLE_EQ(CGRectGetMidX(button), CGRectGetMidX(label));
  EXPECT_DOUBLE_EQ(CGRectGetMidY(button), label.size.height + 40);
  EXPECT_DOUBLE_EQ(view->frame().size.width, button.size.width);
  EXPECT_DOUBLE_EQ(view->frame().size.height, CGRectGetMaxY(button));

  // A long label: the view is as wide as it.
  auto wide = AKPermissionView::permissionView(1, colors);
  EXPECT_DOUBLE_EQ(wide->frame().size.width, wide->titleLabel()->frame().size.width);
}

TEST_F(PermissionViewTest, CentredInItsScreenAndOpensSettings) {
  auto opener = std::make_shared<ScriptedOpener>();
  UIApplication::sharedApplication()->setURLOpener(opener);
  auto screen = std::make_shared<UIViewController>();
  auto window = makeWindow(screen);
  screen->view()->setBackgroundColor(colors->backgroundColor);
  auto view = AKPermissionView::permissionView(1, colors);
  screen->view()->addSubview(view);
  EXPECT_EQ(view->center(), CGPointMake(187.5, 333.5));

  UITouchDriver hand(window);
  hand.tap(view->convertPointToView(view->permitButton()->center(), nullptr));
  drainMainLoop();
  ASSERT_EQ(opener->opened.size(), 1u);
  EXPECT_EQ(opener->opened[0], UIApplicationOpenSettingsURLString);

  auto image = RenderView(*window, 1);
  SaveSnapshot(image, "picker-permission-view");
  EXPECT_TRUE(MatchesGolden(image, "picker/picker-permission-view.png", 3, 50));
  UIApplication::sharedApplication()->setURLOpener(nullptr);
}

}  // namespace

}  // namespace screens_popover_permission_test

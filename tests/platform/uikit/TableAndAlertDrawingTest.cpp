#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageSymbolConfiguration.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITableViewController.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedDisplay.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace table_and_alert_drawing_test {

namespace {

// The pixel at a point of a 1x rendering.
std::vector<uint8_t> pixelAt(const UIImagePtr& image, CGPoint p) {
  auto pixels = RGBAPixels(image->CGImage());
  size_t width = image->CGImage()->width();
  size_t i = (size_t(p.y) * width + size_t(p.x)) * 4;
  return {pixels[i], pixels[i + 1], pixels[i + 2], pixels[i + 3]};
}

class NamesController : public UITableViewController {
 public:
  int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t) override { return 30; }
  std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView& table,
                                                                  const NSIndexPath& path) override {
    auto cell = table.dequeueReusableCellWithIdentifier("name");
    if (!cell) {
      cell = std::make_shared<UITableViewCell>();
      auto label = std::make_shared<UILabel>(CGRectMake(16, 0, 300, 44));
      label->setTag(7);
      cell->contentView()->addSubview(label);
    }
    std::static_pointer_cast<UILabel>(cell->contentView()->viewWithTag(7))
        ->setText("Row " + std::to_string(path.row()));
    return cell;
  }
};

class TableAndAlertDrawingTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    UseScreenProfile(UIScreenProfile::phone());
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    hand = std::make_unique<UITouchDriver>(window);
  }
  std::shared_ptr<UIWindow> window;
  std::unique_ptr<UITouchDriver> hand;
};

TEST_F(TableAndAlertDrawingTest, TablesDrawSeparatorsAndTheSelectedRow) {
  auto names = std::make_shared<NamesController>();
  auto nav = std::make_shared<UINavigationController>(names);
  names->setTitle("Names");
  window->setRootViewController(nav);
  drainMainLoop();
  auto table = names->tableView();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->contentOffset().y, -64);  // below the status bar and the bar
  // Row 3 sits at 64 + 3 * 44 in the window.
  hand->tap(CGPointMake(200, 64 + 3 * 44 + 22));
  EXPECT_EQ(table->indexPathForSelectedRow(), NSIndexPath::indexPathForRow(3, 0));
  auto cell = table->cellForRowAtIndexPath({0, 3});
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(cell->selectedBackgroundView()->superview(), cell);
  EXPECT_EQ(cell->separatorView()->frame(), CGRectMake(16, 43.5, 359, 0.5));
  auto picture = RenderView(*window, 1);
  SaveSnapshot(picture, "table-separators-selected-row");
  auto selected = pixelAt(picture, CGPointMake(360, 64 + 3 * 44 + 10));
  EXPECT_NEAR(selected[0], 209, 3);  // the grey selected background
  auto plain = pixelAt(picture, CGPointMake(360, 64 + 5 * 44 + 10));
  EXPECT_EQ(plain[0], 255);
  auto separator = pixelAt(picture, CGPointMake(200, 64 + 5 * 44 - 1));
  EXPECT_LT(separator[0], 240);
  EXPECT_EQ(pixelAt(picture, CGPointMake(8, 64 + 5 * 44 - 1))[0], 255);  // inset on the left

  // Selection clears when the list shows again, unless told otherwise.
  nav->pushViewController(std::make_shared<UIViewController>(), false);
  nav->popViewControllerAnimated(false);
  EXPECT_FALSE(table->indexPathForSelectedRow().has_value());
  EXPECT_EQ(cell->selectedBackgroundView()->superview(), nullptr);
  names->setClearsSelectionOnViewWillAppear(false);
  table->selectRowAtIndexPath(NSIndexPath::indexPathForRow(1, 0), false,
                              UITableViewScrollPosition::None);
  nav->pushViewController(std::make_shared<UIViewController>(), false);
  nav->popViewControllerAnimated(false);
  EXPECT_EQ(table->indexPathForSelectedRow(), NSIndexPath::indexPathForRow(1, 0));

  table->setSeparatorStyle(UITableViewCellSeparatorStyle::None);
  EXPECT_TRUE(cell->separatorView()->isHidden());
  cell->setSelectionStyle(UITableViewCellSelectionStyle::None);
  cell->setSelected(true);
  EXPECT_EQ(cell->selectedBackgroundView()->superview(), nullptr);
}

TEST_F(TableAndAlertDrawingTest, ActionSheetsAndAlertsDrawTheirButtonsAndTapsRunHandlers) {
  auto presenter = std::make_shared<UIViewController>();
  window->setRootViewController(presenter);
  presenter->view()->setBackgroundColor(UIColor::whiteColor());
  std::vector<std::string> chosen;
  auto sheet = UIAlertController::alertControllerWithTitle("Aspect ratio", std::nullopt,
                                                           UIAlertControllerStyle::ActionSheet);
  for (std::string title : {"Square", "3:2", "16:9"}) {
    sheet->addAction(UIAlertAction::actionWithTitle(
        title, UIAlertActionStyle::Default, [&](UIAlertAction& a) { chosen.push_back(a.title()); }));
  }
  auto cancel = UIAlertAction::actionWithTitle(
      "Cancel", UIAlertActionStyle::Cancel, [&](UIAlertAction& a) { chosen.push_back(a.title()); });
  sheet->addAction(cancel);
  presenter->presentViewController(sheet, true);
  advance(UIViewController::kTransitionDuration + 0.05);
  drainMainLoop();

  auto cancelButton = sheet->viewForAction(cancel);
  ASSERT_NE(cancelButton, nullptr);
  CGRect cancelFrame = cancelButton->convertRectToView(cancelButton->bounds(), nullptr);
  EXPECT_EQ(cancelFrame, CGRectMake(8, 667 - 8 - 57, 359, 57));
  auto wide = sheet->viewForAction(sheet->actions()[2]);
  CGRect wideFrame = wide->convertRectToView(wide->bounds(), nullptr);
  EXPECT_EQ(CGRectGetMaxY(wideFrame), cancelFrame.origin.y - 8);
  EXPECT_EQ(wideFrame.size.height, 57);
  // The cancel action reads bold, the others in the regular weight.
  auto titleWeight = [](const std::shared_ptr<UIView>& v) {
    return std::dynamic_pointer_cast<UIButton>(v)->titleLabel()->font()->weight();
  };
  EXPECT_EQ(titleWeight(cancelButton), UIFontWeightBold);
  EXPECT_LT(titleWeight(wide), UIFontWeightSemibold);
  auto picture = RenderView(*window, 1);
  SaveSnapshot(picture, "alert-action-sheet");
  EXPECT_LT(pixelAt(picture, CGPointMake(100, 100))[0], 200);  // dimmed behind

  hand->tap(CGPointMake(CGRectGetMidX(wideFrame), CGRectGetMidY(wideFrame)));
  EXPECT_TRUE(chosen.empty());  // handlers run once the sheet is gone
  advance(UIViewController::kTransitionDuration + 0.05);
  EXPECT_EQ(chosen, (std::vector<std::string>{"16:9"}));
  EXPECT_EQ(presenter->presentedViewController(), nullptr);

  // An alert with two actions puts them side by side under the text.
  auto alert = UIAlertController::alertControllerWithTitle(
      "No access", "Allow access to photos in Settings.", UIAlertControllerStyle::Alert);
  alert->addAction(UIAlertAction::actionWithTitle("Cancel", UIAlertActionStyle::Cancel, nullptr));
  auto settings = UIAlertAction::actionWithTitle(
      "Settings", UIAlertActionStyle::Default,
      [&](UIAlertAction& a) { chosen.push_back(a.title()); });
  alert->addAction(settings);
  presenter->presentViewController(alert, false);
  drainMainLoop();
  auto left = alert->viewForAction(alert->actions()[0]);
  auto right = alert->viewForAction(settings);
  CGRect l = left->convertRectToView(left->bounds(), nullptr);
  CGRect r = right->convertRectToView(right->bounds(), nullptr);
  EXPECT_EQ(l.size, CGSizeMake(135, 44));
  EXPECT_EQ(r.origin, CGPointMake(CGRectGetMaxX(l), l.origin.y));
  EXPECT_NEAR(CGRectGetMidX(CGRectUnion(l, r)), 187.5, 0.01);
  EXPECT_EQ(titleWeight(left), UIFontWeightBold);
  EXPECT_LT(titleWeight(right), UIFontWeightSemibold);
  SaveSnapshot(RenderView(*window, 1), "alert-two-actions");
  hand->tap(CGPointMake(CGRectGetMidX(r), CGRectGetMidY(r)));
  advance(UIViewController::kTransitionDuration + 0.05);
  EXPECT_EQ(chosen.back(), "Settings");
}

TEST_F(TableAndAlertDrawingTest, DisabledAndHighlightedButtonsDimTheirTemplateImages) {
  auto button = UIButton::buttonWithType(UIButtonType::System);
  button->setTintColor(UIColor::whiteColor());
  button->setImage(UIImage::systemImageNamed(
                       "xmark", UIImageSymbolConfiguration::configurationWithPointSize(30)),
                   UIControlStateNormal);
  button->setFrame(CGRectMake(0, 0, 44, 44));
  button->setBackgroundColor(UIColor::blackColor());
  auto brightest = [&] {
    auto picture = RenderView(*button, 1);
    auto pixels = RGBAPixels(picture->CGImage());
    uint8_t most = 0;
    for (size_t i = 0; i < pixels.size(); i += 4) most = std::max(most, pixels[i]);
    return int(most);
  };
  int enabled = brightest();
  EXPECT_GT(enabled, 240);
  button->setEnabled(false);
  int disabled = brightest();
  EXPECT_NEAR(disabled, 255 * 0.35, 12);
  button->setEnabled(true);
  button->setHighlighted(true);
  EXPECT_NEAR(brightest(), 255 * 0.2, 12);
  button->setHighlighted(false);
  EXPECT_EQ(brightest(), enabled);
}

// A wait alert as apps make it: no text, no actions, a spinner added to the
// alert's view and the view's height pinned by a constraint.
TEST_F(TableAndAlertDrawingTest, AnAlertHoldingOnlyASpinnerDrawsItsBoxAroundTheSpinner) {
  auto presenter = std::make_shared<UIViewController>();
  window->setRootViewController(presenter);
  presenter->view()->setBackgroundColor(UIColor::whiteColor());
  auto alert = UIAlertController::alertControllerWithTitle(std::string(), std::string(),
                                                           UIAlertControllerStyle::Alert);
  auto spinner = std::make_shared<UIActivityIndicatorView>(UIActivityIndicatorViewStyleGray);
  auto view = alert->view();
  view->setCenter(presenter->view()->center());
  view->heightAnchor().constraintEqualToConstant(100)->setActive(true);
  CGRect bounds = view->bounds();
  spinner->setCenter(CGPointMake(CGRectGetMidX(bounds), CGRectGetMidY(bounds)));
  spinner->setAutoresizingMask(
      UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleRightMargin |
      UIViewAutoresizingFlexibleTopMargin | UIViewAutoresizingFlexibleBottomMargin);
  view->addSubview(spinner);
  spinner->startAnimating();
  presenter->showViewController(alert, nullptr);
  advance(UIViewController::kTransitionDuration + 0.05);

  auto picture = RenderView(*window, 1);
  SaveSnapshot(picture, "alert-spinner-only");
  // The box: 270 wide and 100 high in the middle of the dimmed screen, the
  // spinner at its centre.
  CGRect box = view->convertRectToView(view->bounds(), nullptr);
  EXPECT_EQ(box.size, CGSizeMake(270, 100));
  EXPECT_NEAR(CGRectGetMidX(box), 187.5, 0.01);
  EXPECT_NEAR(CGRectGetMidY(box), 333.5, 0.01);
  CGRect turning = spinner->convertRectToView(spinner->bounds(), nullptr);
  EXPECT_NEAR(CGRectGetMidX(turning), 187.5, 0.01);
  EXPECT_NEAR(CGRectGetMidY(turning), 333.5, 0.01);
  EXPECT_GT(pixelAt(picture, CGPointMake(187.5 - 120, 333.5))[0], 230);  // the light box
  EXPECT_LT(pixelAt(picture, CGPointMake(187.5, 333.5 - 70))[0], 200);   // dimmed above it
  EXPECT_LT(pixelAt(picture, CGPointMake(20, 333.5))[0], 200);           // and beside it
  size_t spokes = 0;
  for (int dy = -12; dy <= 12; ++dy) {
    for (int dx = -12; dx <= 12; ++dx) {
      spokes += pixelAt(picture, CGPointMake(187.5 + dx, 333.5 + dy))[0] < 200;
    }
  }
  EXPECT_GT(spokes, 20u);
  alert->dismissViewControllerAnimated(true);
  advance(UIViewController::kTransitionDuration + 0.05);
}

}  // namespace

}  // namespace table_and_alert_drawing_test

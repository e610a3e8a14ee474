#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIPanGestureRecognizer.h"
#include "platform/uikit/UISlider.h"
#include "platform/uikit/internal/UISwitch.h"
#include "platform/uikit/UITapGestureRecognizer.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace control_test {

namespace {

std::string names(uint64_t events) {
  static const std::pair<uint64_t, const char*> kNames[] = {
      {UIControlEventTouchDown, "down"},         {UIControlEventTouchDragInside, "in"},
      {UIControlEventTouchDragOutside, "out"},   {UIControlEventTouchDragEnter, "enter"},
      {UIControlEventTouchDragExit, "exit"},     {UIControlEventTouchUpInside, "upInside"},
      {UIControlEventTouchUpOutside, "upOutside"}, {UIControlEventTouchCancel, "cancel"},
      {UIControlEventValueChanged, "changed"}};
  std::string out;
  for (auto& [bit, name] : kNames) {
    if (events & bit) out += std::string(out.empty() ? "" : "+") + name;
  }
  return out;
}

class ControlTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    hand = std::make_unique<UITouchDriver>(window);
    owner = std::make_shared<NSObject>();
  }
  // Logs each event of `control` by name.
  void watch(UIControl& control, uint64_t events = UIControlEventAllEvents) {
    for (uint64_t bit = 1; bit && bit <= UIControlEventValueChanged; bit <<= 1) {
      if (!(events & bit)) continue;
      control.addTarget(owner, [this, bit](UIControl&, UIEvent*) { log.push_back(names(bit)); },
                        bit);
    }
  }
  std::shared_ptr<UIWindow> window;
  std::unique_ptr<UITouchDriver> hand;
  std::shared_ptr<NSObject> owner;
  std::vector<std::string> log;
};

TEST_F(ControlTest, TrackingSendsTheTouchEventsWithTheSlopAroundTheBounds) {
  auto control = std::make_shared<UIControl>(CGRectMake(100, 100, 100, 50));
  window->addSubview(control);
  watch(*control);
  auto touch = hand->down({{150, 125}});
  EXPECT_TRUE(control->isHighlighted());
  EXPECT_TRUE(control->isTracking());
  hand->move(touch, {{260, 125}});  // 60 beyond the edge: still inside
  hand->move(touch, {{280, 125}});  // 80 beyond: outside
  EXPECT_FALSE(control->isHighlighted());
  hand->move(touch, {{150, 125}});
  hand->up(touch);
  EXPECT_EQ(log, (std::vector<std::string>{"down", "in", "out", "exit", "in", "enter",
                                           "upInside"}));
  EXPECT_FALSE(control->isTracking());
  EXPECT_EQ(control->state(), UIControlStateNormal);

  log.clear();
  touch = hand->down({{150, 125}});
  hand->move(touch, {{150, 300}});
  hand->up(touch);
  EXPECT_EQ(log.back(), "upOutside");

  // Removing the target for one event keeps the others.
  log.clear();
  control->removeTarget(owner.get(), UIControlEventTouchDown);
  EXPECT_EQ(control->allControlEvents() & UIControlEventTouchDown, 0u);
  control->sendActionsForControlEvents(UIControlEventTouchDown | UIControlEventValueChanged);
  EXPECT_EQ(log, (std::vector<std::string>{"changed"}));
  control->removeTarget(nullptr, UIControlEventAllEvents);
  EXPECT_TRUE(control->allTargets().empty());

  // Disabled: the touch goes by, to whoever is behind.
  control->setEnabled(false);
  EXPECT_EQ(control->state(), UIControlStateDisabled);
  watch(*control);
  log.clear();
  hand->tap({150, 125});
  EXPECT_TRUE(log.empty());
}

TEST_F(ControlTest, AParentsPanCancelsTrackingButItsTapDoesNotTakeASwitch) {
  auto parent = std::make_shared<UIView>(CGRectMake(0, 0, 375, 667));
  window->addSubview(parent);
  auto toggle = std::make_shared<UISwitch>(CGRectMake(20, 20, 0, 0));
  parent->addSubview(toggle);
  EXPECT_EQ(toggle->frame().size, UISwitch::kSize);
  watch(*toggle, UIControlEventTouchCancel | UIControlEventValueChanged);
  int taps = 0;
  auto tap = std::make_shared<UITapGestureRecognizer>();
  tap->addTarget(owner, [&](UIGestureRecognizer&) { ++taps; });
  parent->addGestureRecognizer(tap);
  hand->tap({40, 35});
  EXPECT_TRUE(toggle->isOn());
  EXPECT_EQ(taps, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"changed"}));
  hand->tap({200, 300});
  EXPECT_EQ(taps, 1);

  log.clear();
  auto pan = std::make_shared<UIPanGestureRecognizer>();
  parent->addGestureRecognizer(pan);
  hand->drag({{40, 35}, {40, 200}}, 0.2);
  EXPECT_EQ(log, (std::vector<std::string>{"cancel"}));
  EXPECT_TRUE(toggle->isOn());
  toggle->setOn(false);
  EXPECT_FALSE(toggle->isOn());
}

TEST_F(ControlTest, SliderFollowsTheThumbOnly) {
  auto slider = std::make_shared<UISlider>(CGRectMake(10, 100, 228, 34));
  window->addSubview(slider);
  slider->setMinimumValue(10);
  slider->setMaximumValue(20);
  slider->setValue(5);
  EXPECT_EQ(slider->value(), 10);  // clamped
  watch(*slider, UIControlEventValueChanged);
  // The thumb (28 wide) starts at the left end: its centre is at x = 24.
  hand->drag({{24, 117}, {124, 117}}, 0.2);
  EXPECT_DOUBLE_EQ(slider->value(), 15);
  EXPECT_FALSE(log.empty());
  log.clear();
  hand->drag({{200, 117}, {230, 117}}, 0.2);  // on the track, away from the thumb
  EXPECT_DOUBLE_EQ(slider->value(), 15);
  EXPECT_TRUE(log.empty());

  slider->setContinuous(false);
  hand->drag({{124, 117}, {500, 117}}, 0.2);
  EXPECT_DOUBLE_EQ(slider->value(), 20);
  EXPECT_EQ(log.size(), 1u);  // once, at the end

  // A pan of the window does not start from the thumb, but does elsewhere.
  auto pan = std::make_shared<UIPanGestureRecognizer>();
  int pans = 0;
  pan->addTarget(owner, [&](UIGestureRecognizer& g) {
    pans += g.state() == UIGestureRecognizerState::Began;
  });
  window->addGestureRecognizer(pan);
  hand->drag({{224, 117}, {100, 117}}, 0.2);
  EXPECT_EQ(pans, 0);
  EXPECT_LT(slider->value(), 20);
  hand->drag({{100, 400}, {100, 200}}, 0.2);
  EXPECT_EQ(pans, 1);
}

TEST_F(ControlTest, SliderDrawsBothSidesOfTheTrackAndTheThumbWhereTheValueIs) {
  auto slider = std::make_shared<UISlider>(CGRectMake(0, 0, 200, 34));
  slider->setBackgroundColor(UIColor::blackColor());
  slider->setValue(0.75);
  auto pixels = RGBAPixels(RenderView(*slider, 1)->CGImage());
  auto at = [&](int x, int y) {
    const uint8_t* p = &pixels[(static_cast<size_t>(y) * 200 + x) * 4];
    return std::vector<int>{p[0], p[1], p[2]};
  };
  // The thumb's centre sits at 14 + 0.75 * (200 - 28) = 143.
  EXPECT_EQ(at(143, 17), (std::vector<int>{255, 255, 255}));
  const auto minimum = at(60, 17);
  EXPECT_GT(minimum[2], 200);  // the tint colour
  EXPECT_LT(minimum[0], 100);
  const auto maximum = at(185, 17);
  EXPECT_EQ(maximum[0], maximum[2]);  // grey
  EXPECT_GT(maximum[0], 180);
  EXPECT_EQ(at(60, 3), (std::vector<int>{0, 0, 0}));  // above the track
  slider->setValue(0);
  pixels = RGBAPixels(RenderView(*slider, 1)->CGImage());
  EXPECT_EQ(at(60, 17)[0], at(185, 17)[0]);  // all of it the maximum side now
}

TEST_F(ControlTest, ButtonsShowPerStateValuesAndWinTheirTaps) {
  auto button = UIButton::buttonWithType(UIButtonType::System);
  button->setFrame(CGRectMake(50, 50, 120, 44));
  window->addSubview(button);
  button->setTitle("Share", UIControlStateNormal);
  button->setTitle("Sharing", UIControlStateHighlighted);
  button->setTitleColor(UIColor::redColor(), UIControlStateDisabled);
  EXPECT_EQ(button->currentTitle(), "Share");
  EXPECT_EQ(button->titleForState(UIControlStateSelected), "Share");  // falls back
  EXPECT_TRUE(button->currentTitleColor()->isEqual(*UIColor::systemBlueColor()));
  auto touch = hand->down({{100, 70}});
  EXPECT_EQ(button->currentTitle(), "Sharing");
  hand->up(touch);
  EXPECT_EQ(button->currentTitle(), "Share");
  button->setEnabled(false);
  EXPECT_TRUE(button->currentTitleColor()->isEqual(*UIColor::redColor()));
  button->setEnabled(true);

  auto px = std::make_shared<Bytes>(20 * 10 * 4, 255);
  auto icon = UIImage::imageWithCGImage(CGImage::create(20, 10, 8, 32, 80, kCGImageAlphaPremultipliedLast, px), 1,
                                        UIImageOrientationUp);
  button->setImage(icon, UIControlStateNormal);
  EXPECT_EQ(button->imageForState(UIControlStateHighlighted), icon);
  button->setContentEdgeInsets(UIEdgeInsetsMake(4, 10, 4, 10));
  button->setImageEdgeInsets(UIEdgeInsetsMake(0, 0, 0, 6));
  CGRect content = button->contentRectForBounds(button->bounds());
  EXPECT_EQ(content, CGRectMake(10, 4, 100, 36));
  // Image and title are centred as a pair; the inset moves the image by
  // half of it.
  CGRect image = button->imageRectForContentRect(content);
  CGRect title = button->titleRectForContentRect(content);
  EXPECT_EQ(image.size, CGSizeMake(20, 10));
  EXPECT_DOUBLE_EQ(title.origin.x - image.origin.x, 23);
  EXPECT_DOUBLE_EQ((image.origin.x + 3 + CGRectGetMaxX(title)) / 2, 60);

  // A parent's single tap does not take the button's tap; a double tap may.
  int taps = 0, presses = 0;
  auto tap = std::make_shared<UITapGestureRecognizer>();
  tap->addTarget(owner, [&](UIGestureRecognizer&) { ++taps; });
  window->addGestureRecognizer(tap);
  button->addTarget(owner, [&](UIControl&, UIEvent*) { ++presses; }, UIControlEventTouchUpInside);
  hand->tap({100, 70});
  EXPECT_EQ(presses, 1);
  EXPECT_EQ(taps, 0);
  tap->setNumberOfTapsRequired(2);
  hand->tap({100, 70}, 2);
  EXPECT_EQ(taps, 1);
}

}  // namespace

}  // namespace control_test

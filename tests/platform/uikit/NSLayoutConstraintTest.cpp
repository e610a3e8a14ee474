#include <gtest/gtest.h>

#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIView.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedDisplay.h"

namespace ns_layout_constraint_test {

namespace {

class NSLayoutConstraintTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    UseScreenProfile(UIScreenProfile::phoneWithNotch());
    window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
    root = UIView::viewWithFrame(window->bounds());
    window->addSubview(root);
  }
  std::shared_ptr<UIView> child() {
    auto v = std::make_shared<UIView>();
    v->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(v);
    return v;
  }
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIView> root;
};

void expectFrame(const UIView& v, double x, double y, double w, double h) {
  CGRect f = v.frame();
  EXPECT_DOUBLE_EQ(f.origin.x, x);
  EXPECT_DOUBLE_EQ(f.origin.y, y);
  EXPECT_DOUBLE_EQ(f.size.width, w);
  EXPECT_DOUBLE_EQ(f.size.height, h);
}

TEST_F(NSLayoutConstraintTest, EdgesPinToTheSafeAreaOnTheNextLayoutPass) {
  auto bar = child();
  auto guide = root->safeAreaLayoutGuide();
  NSLayoutConstraint::activateConstraints({
      bar->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor()),
      bar->trailingAnchor().constraintEqualToAnchor(root->trailingAnchor()),
      bar->bottomAnchor().constraintEqualToAnchor(guide->bottomAnchor),
      bar->heightAnchor().constraintEqualToConstant(44),
  });
  expectFrame(*bar, 0, 0, 0, 0);  // solved at layout, not at activation
  drainMainLoop();
  expectFrame(*bar, 0, 844 - 34 - 44, 390, 44);

  // A shorter root ends above the unsafe strip: the bar sits on its edge.
  root->setFrame(CGRectMake(0, 0, 390, 800));
  drainMainLoop();
  expectFrame(*bar, 0, 800 - 44, 390, 44);
}

TEST_F(NSLayoutConstraintTest, CentresSizesMultipliersAndSiblings) {
  auto box = child();
  auto below = child();
  auto constant = box->widthAnchor().constraintEqualToConstant(100);
  NSLayoutConstraint::activateConstraints({
      box->centerXAnchor().constraintEqualToAnchor(root->centerXAnchor()),
      box->centerYAnchor().constraintEqualToAnchor(root->centerYAnchor(), -22),
      constant,
      box->heightAnchor().constraintEqualToAnchor(box->widthAnchor(), 0.5),
      below->topAnchor().constraintEqualToAnchor(box->bottomAnchor(), 8),
      below->leftAnchor().constraintEqualToAnchor(box->leftAnchor()),
      below->widthAnchor().constraintEqualToAnchor(root->widthAnchor(), 0.5, -5),
      below->heightAnchor().constraintEqualToConstant(10),
  });
  root->layoutIfNeeded();
  expectFrame(*box, 145, 422 - 22 - 25, 100, 50);
  expectFrame(*below, 145, 425 + 8, 190, 10);

  constant->setConstant(200);
  drainMainLoop();
  expectFrame(*box, 95, 350, 200, 100);
  EXPECT_DOUBLE_EQ(below->frame().origin.x, 95);

  constant->setActive(false);
  EXPECT_EQ(box->constraints().size(), 5u);
  drainMainLoop();
  EXPECT_DOUBLE_EQ(box->frame().size.width, 200);  // no width: the frame keeps it
}

TEST_F(NSLayoutConstraintTest, PrioritiesAndInequalities) {
  auto v = child();
  auto low = v->widthAnchor().constraintEqualToConstant(50);
  low->setPriority(UILayoutPriorityDefaultLow);
  auto high = v->widthAnchor().constraintEqualToConstant(80);
  high->setPriority(UILayoutPriorityDefaultHigh);
  auto cap = v->widthAnchor().constraintLessThanOrEqualToConstant(60);
  auto floor = v->leftAnchor().constraintGreaterThanOrEqualToAnchor(root->leftAnchor(), 20);
  NSLayoutConstraint::activateConstraints({low, high, cap, floor,
                                           v->heightAnchor().constraintEqualToConstant(5),
                                           v->rightAnchor().constraintEqualToAnchor(
                                               root->leftAnchor(), 30)});
  root->layoutIfNeeded();
  // High priority wins over low, the required cap clamps it, the required
  // left bound pushes the view right past its preferred right edge.
  EXPECT_DOUBLE_EQ(v->frame().size.width, 60);
  EXPECT_DOUBLE_EQ(v->frame().origin.x, 20);

  high->setActive(false);
  root->layoutIfNeeded();
  EXPECT_DOUBLE_EQ(v->frame().size.width, 50);
}

TEST_F(NSLayoutConstraintTest, IntrinsicSizeFillsAMissingSize) {
  class Sized : public UIView {
   public:
    CGSize intrinsicContentSize() const override { return CGSizeMake(30, 12); }
  };
  auto v = std::make_shared<Sized>();
  v->setTranslatesAutoresizingMaskIntoConstraints(false);
  root->addSubview(v);
  NSLayoutConstraint::activateConstraints({
      v->topAnchor().constraintEqualToAnchor(root->safeAreaLayoutGuide()->topAnchor, 10),
      v->trailingAnchor().constraintEqualToAnchor(root->trailingAnchor(), -16),
  });
  root->layoutIfNeeded();
  expectFrame(*v, 390 - 16 - 30, 47 + 10, 30, 12);
}

TEST_F(NSLayoutConstraintTest, RemovingAViewDeactivatesTheConstraintsThatTieItToTheRest) {
  auto box = child();
  auto inner = std::make_shared<UIView>();
  inner->setTranslatesAutoresizingMaskIntoConstraints(false);
  box->addSubview(inner);
  auto toRoot = box->centerXAnchor().constraintEqualToAnchor(root->centerXAnchor());
  auto innerToRoot =
      inner->topAnchor().constraintEqualToAnchor(root->safeAreaLayoutGuide()->topAnchor);
  auto own = box->widthAnchor().constraintEqualToConstant(40);
  auto ownGuide = box->heightAnchor().constraintEqualToConstant(30);
  auto inside = inner->leadingAnchor().constraintEqualToAnchor(box->leadingAnchor(), 5);
  NSLayoutConstraint::activateConstraints({toRoot, innerToRoot, own, ownGuide, inside});
  root->layoutIfNeeded();
  expectFrame(*box, 175, 0, 40, 30);

  box->removeFromSuperview();
  EXPECT_FALSE(toRoot->isActive());
  EXPECT_FALSE(innerToRoot->isActive());
  EXPECT_TRUE(root->constraints().empty());
  // What lies within the removed tree stays.
  EXPECT_TRUE(own->isActive());
  EXPECT_TRUE(ownGuide->isActive());
  EXPECT_TRUE(inside->isActive());
  EXPECT_EQ(box->constraints().size(), 3u);  // its width, height and the inner lead

  // Back in the tree, nothing pulls it to the centre any more.
  root->addSubview(box);
  box->setFrame(CGRectMake(0, 0, 40, 30));
  root->layoutIfNeeded();
  expectFrame(*box, 0, 0, 40, 30);

  // Moving to another superview drops the ties to the old one too.
  auto again = box->centerXAnchor().constraintEqualToAnchor(root->centerXAnchor());
  again->setActive(true);
  auto other = UIView::viewWithFrame(CGRectMake(0, 0, 100, 100));
  root->addSubview(other);
  other->addSubview(box);
  EXPECT_FALSE(again->isActive());
  EXPECT_TRUE(own->isActive());
}

}  // namespace

}  // namespace ns_layout_constraint_test

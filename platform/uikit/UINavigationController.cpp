#include "UINavigationController.h"

#include <algorithm>

#include "UIViewControllerTransitioning.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

struct UINavigationController::Change {
  NSTimerPtr timer;
  // Runs until the change ends; completing it finishes the change. Noted in
  // the window, which takes no new touches meanwhile.
  std::shared_ptr<UIViewControllerContextTransitioning> context;
  // The views sliding; their animations stop when the change is cut short.
  std::vector<std::shared_ptr<UIView>> moving;
};

namespace {

// The navigation controller's own view: lays the bars and the top
// controller's view out whenever its size or safe area changes.
class NavigationLayoutView final : public UIView {
 public:
  using UIView::UIView;
  void layoutSubviews() override {
    UIView::layoutSubviews();
    if (auto nav = std::dynamic_pointer_cast<UINavigationController>(owningViewController())) {
      nav->layoutBarsAndContent();
    }
  }
  void safeAreaInsetsDidChange() override { setNeedsLayout(); }
};

}  // namespace

UINavigationController::UINavigationController(std::shared_ptr<UIViewController> root)
    : pendingRoot_(std::move(root)) {}

UINavigationController::~UINavigationController() {
  if (running_ && running_->timer) running_->timer->invalidate();
}

void UINavigationController::adoptRoot() {
  if (!pendingRoot_) return;
  auto root = std::move(pendingRoot_);
  pendingRoot_.reset();
  show({root}, false, true);
}

void UINavigationController::loadView() {
  setView(std::make_shared<NavigationLayoutView>());
  auto v = view();
  v->addSubview(navigationBar());
  adoptRoot();
  layoutBarsAndContent();
}

const std::shared_ptr<UINavigationBar>& UINavigationController::navigationBar() {
  if (!bar_) {
    bar_ = std::make_shared<UINavigationBar>();
    bar_->backAction_ = WeakBind(WeakFromThis(this), [](UIViewController& vc) {
      static_cast<UINavigationController&>(vc).popViewControllerAnimated(true);
    });
  }
  adoptRoot();  // the bar shows the root's item from the start
  return bar_;
}

const std::shared_ptr<UIToolbar>& UINavigationController::toolbar() {
  if (!toolbar_) {
    toolbar_ = std::make_shared<UIToolbar>();
    toolbar_->setHidden(toolbarHidden_);
  }
  return toolbar_;
}

CGRect UINavigationController::navigationBarFrame(bool hidden) {
  CGRect b = view()->bounds();
  // The bar sits below the status bar; hidden, it waits above the screen.
  double top = view()->safeAreaInsets().top - totalExtraSafeArea().top;
  double y = hidden ? -UINavigationBar::kHeight : top;
  return CGRectMake(0, y, b.size.width, UINavigationBar::kHeight);
}

CGRect UINavigationController::toolbarFrame(bool hidden) {
  CGRect b = view()->bounds();
  double bottom = view()->safeAreaInsets().bottom - totalExtraSafeArea().bottom;
  double y = hidden ? b.size.height : b.size.height - bottom - UIToolbar::kHeight;
  return CGRectMake(0, y, b.size.width, UIToolbar::kHeight);
}

CGRect UINavigationController::contentFrame() {
  // Content runs under translucent bars, as on the platform; an opaque bar
  // pushes it down (up, for the toolbar).
  CGRect b = view()->bounds();
  double top = 0, bottom = b.size.height;
  if (!barHidden_ && !navigationBar()->isTranslucent()) {
    top = CGRectGetMaxY(navigationBarFrame(false));
  }
  if (!toolbarHidden_ && !toolbar()->isTranslucent()) bottom = toolbarFrame(false).origin.y;
  return CGRectMake(0, top, b.size.width, std::max(0.0, bottom - top));
}

UIEdgeInsets UINavigationController::barInsetsFor(const CGRect& content) {
  // The content's safe area reaches down to the bar's bottom and up to the
  // toolbar's top, beyond what the window already leaves unsafe there.
  UIEdgeInsets safe = view()->safeAreaInsets();
  double height = view()->bounds().size.height;
  double baseTop = std::max(0.0, safe.top - content.origin.y);
  double baseBottom = std::max(0.0, CGRectGetMaxY(content) - (height - safe.bottom));
  UIEdgeInsets insets;
  if (!barHidden_) {
    double barBottom = CGRectGetMaxY(navigationBarFrame(false));
    insets.top = std::max(0.0, barBottom - content.origin.y - baseTop);
  }
  if (!toolbarHidden_) {
    double toolbarTop = toolbarFrame(false).origin.y;
    insets.bottom = std::max(0.0, CGRectGetMaxY(content) - toolbarTop - baseBottom);
  }
  return insets;
}

void UINavigationController::placeBar(const CGRect& frame) {
  auto bar = navigationBar();
  const bool moved = bar->frame().origin != frame.origin;
  bar->setFrame(frame);
  // The bar's background reaches up under the status bar from wherever the
  // bar sits: a bar that only moved lays that out again too.
  if (moved) {
    bar->setNeedsLayout();
    bar->layoutIfNeeded();
  }
}

void UINavigationController::layoutBarsAndContent() {
  if (!isViewLoaded()) return;
  auto v = view();
  if (!toolbarHidden_ && !toolbar()->superview()) v->addSubview(toolbar());
  // Bars sliding on the clock are left to their animation.
  if (barAnimations_ == 0) {
    placeBar(navigationBarFrame(barHidden_));
    navigationBar()->setHidden(barHidden_);
    if (toolbar_) {
      toolbar_->setFrame(toolbarFrame(toolbarHidden_));
      toolbar_->setHidden(toolbarHidden_);
    }
  }
  // The bars stay over the content (moving a subview asks for layout, so
  // only when out of place).
  for (UIView* barView : {static_cast<UIView*>(bar_.get()), static_cast<UIView*>(toolbar_.get())}) {
    if (!barView || barView->superview() != v) continue;
    const auto& subs = v->subviews();
    bool onTop = subs.back().get() == barView ||
                 (subs.size() > 1 && subs[subs.size() - 2].get() == barView &&
                  (subs.back().get() == bar_.get() || subs.back().get() == toolbar_.get()));
    if (!onTop) v->bringSubviewToFront(barView);
  }
  if (stack_.empty()) return;
  auto top = stack_.back();
  CGRect content = contentFrame();
  top->setContainerSafeArea(barInsetsFor(content));
  if (top->isViewLoaded() && !running_) top->view()->setFrame(content);
}

void UINavigationController::setNavigationBarHidden(bool hidden, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  if (hidden == barHidden_) return;
  barHidden_ = hidden;
  animateBars(animated);
}

void UINavigationController::setToolbarHidden(bool hidden, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  if (hidden == toolbarHidden_) return;
  toolbarHidden_ = hidden;
  if (!stack_.empty()) toolbar()->setItems(stack_.back()->toolbarItems());
  animateBars(animated);
}

void UINavigationController::animateBars(bool animated) {
  if (!isViewLoaded()) return;
  if (!animated || !view()->window()) {
    layoutBarsAndContent();
    return;
  }
  // The bars slide in or out on the clock; a bar going away hides once it
  // is off screen.
  auto v = view();
  if (!toolbarHidden_ && !toolbar()->superview()) v->addSubview(toolbar());
  bool barHidden = barHidden_, toolbarHidden = toolbarHidden_;
  auto bar = navigationBar();
  auto tools = toolbar_;
  ++barAnimations_;
  UIView::performWithoutAnimation([&] {
    if (!barHidden) bar->setHidden(false);
    if (tools && !toolbarHidden) tools->setHidden(false);
  });
  UIView::animateWithDuration(
      kHideShowBarDuration, 0, 0,
      [&] {
        placeBar(navigationBarFrame(barHidden));
        if (tools) tools->setFrame(toolbarFrame(toolbarHidden));
      },
      WeakBind(WeakFromThis(this), [](UIViewController& vc, bool) {
        auto& nav = static_cast<UINavigationController&>(vc);
        --nav.barAnimations_;
        nav.layoutBarsAndContent();
      }));
  if (!stack_.empty()) {
    auto top = stack_.back();
    top->setContainerSafeArea(barInsetsFor(contentFrame()));
    if (top->isViewLoaded()) {
      UIView::animateWithDuration(kHideShowBarDuration, [&] {
        top->view()->setFrame(contentFrame());
        top->view()->layoutIfNeeded();
      });
    }
  }
}

void UINavigationController::showViewController(const std::shared_ptr<UIViewController>& vc,
                                                const std::shared_ptr<NSObject>&) {
  if (vc) pushViewController(vc, true);
}

std::vector<std::shared_ptr<UIViewController>> UINavigationController::viewControllers() {
  adoptRoot();
  return stack_;
}

std::shared_ptr<UIViewController> UINavigationController::topViewController() {
  adoptRoot();
  return stack_.empty() ? nullptr : stack_.back();
}

std::shared_ptr<UIViewController> UINavigationController::visibleViewController() {
  if (auto presented = presentedViewController()) return presented;
  return topViewController();
}

std::shared_ptr<UIViewController> UINavigationController::childViewControllerForStatusBarHidden()
    const {
  return stack_.empty() ? nullptr : stack_.back();
}

std::shared_ptr<UIViewController> UINavigationController::childViewControllerForStatusBarStyle()
    const {
  return stack_.empty() ? nullptr : stack_.back();
}

void UINavigationController::completeRunningChange() {
  if (!running_) return;
  auto change = std::move(running_);
  if (change->timer) change->timer->invalidate();
  for (auto& v : change->moving) v->layer()->removeAllAnimations();
  if (bar_) bar_->finishFade();
  change->context->completeTransition(true);
}

void UINavigationController::show(std::vector<std::shared_ptr<UIViewController>> stack,
                                  bool animated, bool forward) {
  QX_DCHECK_MAIN_THREAD();
  completeRunningChange();
  noteAlreadyOnScreen();
  auto me = std::static_pointer_cast<UINavigationController>(self());
  std::shared_ptr<UIViewController> from = stack_.empty() ? nullptr : stack_.back();
  std::shared_ptr<UIViewController> to = stack.empty() ? nullptr : stack.back();
  std::vector<std::shared_ptr<UIViewController>> leaving;
  for (auto& vc : stack_) {
    if (std::find(stack.begin(), stack.end(), vc) == stack.end()) leaving.push_back(vc);
  }
  std::vector<std::shared_ptr<UIViewController>> arriving;
  for (auto& vc : stack) {
    if (std::find(stack_.begin(), stack_.end(), vc) == stack_.end()) arriving.push_back(vc);
  }
  for (auto& vc : arriving) addChildViewController(vc);
  for (auto& vc : leaving) vc->willMoveToParentViewController(nullptr);
  stack_ = std::move(stack);
  bool changesTop = from != to;
  bool onScreen = isVisible() || (isViewLoaded() && view()->window());
  animated = animated && onScreen && changesTop;
  std::vector<std::shared_ptr<UINavigationItem>> items;
  for (auto& vc : stack_) items.push_back(vc->navigationItem());
  // The bar's title and buttons cross-fade while the views slide.
  navigationBar()->setItems(std::move(items), animated);
  auto d = delegate();
  if (changesTop && to && d) d->navigationControllerWillShowViewController(*this, *to, animated);
  if (changesTop && onScreen) {
    if (from) from->beginAppearanceTransition(false, animated);
    if (to) to->beginAppearanceTransition(true, animated);
  }
  std::vector<std::shared_ptr<UIView>> moving;
  if (changesTop && to && isViewLoaded()) {
    CGRect frame = contentFrame();
    to->setContainerSafeArea(barInsetsFor(frame));
    if (toolbar_) toolbar_->setItems(to->toolbarItems());
    auto toView = to->view();
    auto container = view();
    container->insertSubviewBelowSubview(toView, navigationBar().get());
    // Pushed controllers come in from the right over the one leaving for a
    // third of the width to the left; a pop runs the other way.
    double w = frame.size.width;
    auto fromView = from && from->isViewLoaded() && from->view()->superview() == container
                        ? from->view()
                        : nullptr;
    if (animated && fromView && !forward) container->insertSubviewAboveSubview(fromView, toView.get());
    UIView::performWithoutAnimation([&] {
      toView->setFrame(animated ? CGRectOffset(frame, forward ? w : -w / 3, 0) : frame);
      toView->layoutIfNeeded();
    });
    if (animated) {
      UIView::animateWithDuration(kTransitionDuration, 0, 0, [&] {
        toView->setFrame(frame);
        if (fromView) fromView->setFrame(CGRectOffset(frame, forward ? -w / 3 : w, 0));
      }, nullptr);
      moving.push_back(toView);
      if (fromView) moving.push_back(fromView);
    }
  }
  auto finish = [me, from, to, leaving, arriving, changesTop, onScreen, animated] {
    if (changesTop && to && to->isViewLoaded()) to->view()->setFrame(me->contentFrame());
    if (changesTop && from && from->isViewLoaded() &&
        std::find(me->stack_.begin(), me->stack_.end(), to) != me->stack_.end()) {
      from->view()->removeFromSuperview();
    }
    if (changesTop && onScreen) {
      if (from) from->endAppearanceTransition();
      if (to) to->endAppearanceTransition();
    }
    for (auto& vc : leaving) vc->removeFromParentViewController();
    for (auto& vc : arriving) vc->didMoveToParentViewController(me);
    if (changesTop && to) {
      if (auto d = me->delegate()) d->navigationControllerDidShowViewController(*me, *to, animated);
    }
  };
  if (!animated) {
    finish();
    return;
  }
  running_ = std::make_unique<Change>();
  running_->context = std::make_shared<UIViewControllerContextTransitioning>(
      view(), from, to, from && from->isViewLoaded() ? from->view() : nullptr,
      to && to->isViewLoaded() ? to->view() : nullptr, true, [finish](bool) { finish(); });
  running_->moving = std::move(moving);
  noteTransitionInWindow(*running_->context);
  running_->timer = NSTimer::scheduledTimerWithTimeInterval(
      kTransitionDuration, false, WeakBind(WeakFromThis(this), [](UIViewController& vc, NSTimer&) {
        static_cast<UINavigationController&>(vc).completeRunningChange();
      }));
}

void UINavigationController::pushViewController(const std::shared_ptr<UIViewController>& vc,
                                                bool animated) {
  QX_DCHECK_MAIN_THREAD();
  adoptRoot();
  if (!vc || std::find(stack_.begin(), stack_.end(), vc) != stack_.end()) {
    FatalStop("Pushing the same view controller instance more than once is not supported");
  }
  auto stack = stack_;
  stack.push_back(vc);
  show(std::move(stack), animated, true);
}

std::shared_ptr<UIViewController> UINavigationController::popViewControllerAnimated(bool animated) {
  QX_DCHECK_MAIN_THREAD();
  adoptRoot();
  if (stack_.size() < 2) return nullptr;
  auto popped = stack_.back();
  auto stack = stack_;
  stack.pop_back();
  show(std::move(stack), animated, false);
  return popped;
}

std::vector<std::shared_ptr<UIViewController>> UINavigationController::popToViewController(
    const std::shared_ptr<UIViewController>& vc, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  adoptRoot();
  auto it = std::find(stack_.begin(), stack_.end(), vc);
  if (it == stack_.end()) return {};
  std::vector<std::shared_ptr<UIViewController>> popped(it + 1, stack_.end());
  if (popped.empty()) return {};
  show(std::vector<std::shared_ptr<UIViewController>>(stack_.begin(), it + 1), animated, false);
  return popped;
}

std::vector<std::shared_ptr<UIViewController>>
UINavigationController::popToRootViewControllerAnimated(bool animated) {
  adoptRoot();
  if (stack_.empty()) return {};
  return popToViewController(stack_.front(), animated);
}

void UINavigationController::setViewControllers(
    std::vector<std::shared_ptr<UIViewController>> controllers, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  pendingRoot_.reset();
  bool forward = controllers.empty() || stack_.empty() ||
                 std::find(stack_.begin(), stack_.end(), controllers.back()) == stack_.end();
  show(std::move(controllers), animated, forward);
}

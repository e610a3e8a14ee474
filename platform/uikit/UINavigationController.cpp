#include "UINavigationController.h"

#include <algorithm>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

struct UINavigationController::Change {
  NSTimerPtr timer;
  std::function<void()> finish;
};

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
  UIViewController::loadView();
  auto v = view();
  v->addSubview(navigationBar());
  placeBars();
  adoptRoot();
}

const std::shared_ptr<UINavigationBar>& UINavigationController::navigationBar() {
  if (!bar_) bar_ = std::make_shared<UINavigationBar>();
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

CGRect UINavigationController::contentFrame() {
  // Content runs under a translucent bar, as on the platform.
  CGRect b = view()->bounds();
  if (barHidden_ || navigationBar()->isTranslucent()) return b;
  double top = CGRectGetMaxY(navigationBar()->frame());
  return CGRectMake(0, top, b.size.width, b.size.height - top);
}

void UINavigationController::placeBars() {
  if (!isViewLoaded()) return;
  CGRect b = view()->bounds();
  // The bar sits below the status bar; the toolbar above the home indicator.
  UIEdgeInsets safe = view()->safeAreaInsets();
  navigationBar()->setFrame(CGRectMake(0, safe.top, b.size.width, UINavigationBar::kHeight));
  navigationBar()->setHidden(barHidden_);
  if (!toolbarHidden_) {
    if (!toolbar()->superview()) view()->addSubview(toolbar());
    toolbar()->setFrame(CGRectMake(0, b.size.height - safe.bottom - UIToolbar::kHeight,
                                   b.size.width, UIToolbar::kHeight));
  }
  if (toolbar_) toolbar_->setHidden(toolbarHidden_);
  if (!stack_.empty() && stack_.back()->isViewLoaded()) {
    stack_.back()->view()->setFrame(contentFrame());
  }
}

void UINavigationController::setNavigationBarHidden(bool hidden, bool) {
  QX_DCHECK_MAIN_THREAD();
  barHidden_ = hidden;
  placeBars();
}

void UINavigationController::setToolbarHidden(bool hidden, bool) {
  QX_DCHECK_MAIN_THREAD();
  toolbarHidden_ = hidden;
  placeBars();
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
  change->finish();
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
  std::vector<std::shared_ptr<UINavigationItem>> items;
  for (auto& vc : stack_) items.push_back(vc->navigationItem());
  navigationBar()->setItems(std::move(items));

  bool changesTop = from != to;
  bool onScreen = isVisible() || (isViewLoaded() && view()->window());
  animated = animated && onScreen && changesTop;
  auto d = delegate();
  if (changesTop && to && d) d->navigationControllerWillShowViewController(*this, *to, animated);
  if (changesTop && onScreen) {
    if (from) from->beginAppearanceTransition(false, animated);
    if (to) to->beginAppearanceTransition(true, animated);
  }
  if (changesTop && to && isViewLoaded()) {
    CGRect frame = contentFrame();
    auto toView = to->view();
    view()->insertSubviewAtIndex(toView, view()->subviews().size() - 1);  // under the bar
    // Pushed controllers come in from the right, popped ones were to the left.
    double w = frame.size.width;
    toView->setFrame(animated ? CGRectOffset(frame, forward ? w : -w / 3, 0) : frame);
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
  running_->finish = finish;
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

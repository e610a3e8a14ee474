#include "UIViewController.h"

#include <algorithm>

#include "UIDevice.h"
#include "UINavigationBar.h"
#include "UINavigationController.h"
#include "UIWindow.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

namespace {

// The platform's own cover-vertical transition: the presented view rises
// from below the container and leaves downwards, over kTransitionDuration.
class PlatformAnimator : public UIViewControllerAnimatedTransitioning {
 public:
  explicit PlatformAnimator(bool presenting) : presenting_(presenting) {}
  double transitionDuration(UIViewControllerContextTransitioning*) override {
    return UIViewController::kTransitionDuration;
  }
  void animateTransition(UIViewControllerContextTransitioning& context) override {
    auto container = context.containerView();
    double drop = container->bounds().size.height;
    if (presenting_) {
      auto vc = context.viewControllerForKey(UITransitionContextToViewControllerKey);
      auto view = context.viewForKey(UITransitionContextToViewKey);
      CGRect final = context.finalFrameForViewController(vc.get());
      container->addSubview(view);
      view->setFrame(CGRectOffset(final, 0, drop));
    }
    bool presenting = presenting_;
    NSTimer::scheduledTimerWithTimeInterval(
        UIViewController::kTransitionDuration, false,
        WeakBind(WeakFromThis(&context),
                 [presenting, drop](UIViewControllerContextTransitioning& ctx, NSTimer&) {
                   if (presenting) {
                     auto vc = ctx.viewControllerForKey(UITransitionContextToViewControllerKey);
                     ctx.viewForKey(UITransitionContextToViewKey)
                         ->setFrame(ctx.finalFrameForViewController(vc.get()));
                   } else if (auto from = ctx.viewForKey(UITransitionContextFromViewKey)) {
                     from->setFrame(CGRectOffset(from->frame(), 0, drop));
                   }
                   ctx.completeTransition(!ctx.transitionWasCancelled());
                 }));
  }

 private:
  bool presenting_;
};

// Starts a transition: through the interaction controller when it wants an
// interactive start, else the animator alone; without an animator it ends
// at once.
void runTransition(UIViewControllerContextTransitioning& context,
                   const std::shared_ptr<UIViewControllerAnimatedTransitioning>& animator,
                   const std::shared_ptr<UIViewControllerInteractiveTransitioning>& interactor) {
  if (!animator) {
    context.completeTransition(true);
  } else if (interactor && interactor->wantsInteractiveStart()) {
    context.setInteractive(true);
    interactor->startInteractiveTransition(context);
  } else {
    animator->animateTransition(context);
  }
}

bool isPad() { return UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPad; }

}  // namespace

struct UIViewController::Transition {
  std::shared_ptr<UIViewControllerContextTransitioning> context;
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animator;
  std::shared_ptr<UIViewControllerInteractiveTransitioning> interactor;
  OnceClosure completion;
  bool animated = false;
  bool removesPresenter = false;
};

UIViewController::UIViewController() = default;
UIViewController::~UIViewController() = default;

// --- View ---

std::shared_ptr<UIView> UIViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) view_ = std::make_shared<UIView>();
    view_->setOwningViewController(self());
    viewDidLoad();
  }
  return view_;
}

void UIViewController::setView(std::shared_ptr<UIView> view) {
  QX_DCHECK_MAIN_THREAD();
  view_ = std::move(view);
  if (view_) view_->setOwningViewController(self());
}

void UIViewController::loadView() { view_ = std::make_shared<UIView>(); }

void UIViewController::setTitle(std::string t) {
  QX_DCHECK_MAIN_THREAD();
  title_ = std::move(t);
  if (navigationItem_) navigationItem_->setTitle(title_);
}

void UIViewController::setAdditionalSafeAreaInsets(const UIEdgeInsets& insets) {
  QX_DCHECK_MAIN_THREAD();
  if (insets == additionalSafeArea_) return;
  additionalSafeArea_ = insets;
  if (view_) view_->setNeedsLayout();
}

void UIViewController::setContainerSafeArea(const UIEdgeInsets& insets) {
  if (insets == containerSafeArea_) return;
  containerSafeArea_ = insets;
  if (view_) view_->setNeedsLayout();
}

void UIViewController::setToolbarItems(std::vector<std::shared_ptr<UIBarButtonItem>> items,
                                       bool) {
  QX_DCHECK_MAIN_THREAD();
  toolbarItems_ = std::move(items);
  if (auto nav = navigationController(); nav && nav->topViewController().get() == this) {
    nav->toolbar()->setItems(toolbarItems_);
  }
}

void UIViewController::showViewController(const std::shared_ptr<UIViewController>& vc,
                                          const std::shared_ptr<NSObject>&) {
  QX_DCHECK_MAIN_THREAD();
  if (!vc) return;
  if (auto nav = navigationController()) {
    nav->pushViewController(vc, true);
    return;
  }
  presentViewController(vc, true);
}

std::shared_ptr<UIWindow> UIViewController::window() { return view_ ? view_->window() : nullptr; }

std::shared_ptr<UIResponder> UIViewController::nextResponder() const {
  return view_ ? view_->superview() : nullptr;
}

// --- Appearance ---

std::vector<std::shared_ptr<UIViewController>> UIViewController::childrenOnScreen() {
  std::vector<std::shared_ptr<UIViewController>> out;
  for (auto& c : children_) {
    if (view_ && c->isViewLoaded() && c->view_->isDescendantOfView(view_.get())) out.push_back(c);
  }
  return out;
}

void UIViewController::beginAppearanceTransition(bool isAppearing, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  if (isAppearing && (appearance_ == Appearance::Appearing || appearance_ == Appearance::Appeared)) {
    return;
  }
  if (!isAppearing &&
      (appearance_ == Appearance::Disappearing || appearance_ == Appearance::Disappeared)) {
    return;
  }
  appearance_ = isAppearing ? Appearance::Appearing : Appearance::Disappearing;
  appearanceAnimated_ = animated;
  if (isAppearing) {
    view();
    viewWillAppear(animated);
  } else {
    viewWillDisappear(animated);
  }
  for (auto& child : childrenOnScreen()) child->beginAppearanceTransition(isAppearing, animated);
}

void UIViewController::endAppearanceTransition() {
  QX_DCHECK_MAIN_THREAD();
  if (appearance_ == Appearance::Appearing) {
    appearance_ = Appearance::Appeared;
    viewDidAppear(appearanceAnimated_);
  } else if (appearance_ == Appearance::Disappearing) {
    appearance_ = Appearance::Disappeared;
    viewDidDisappear(appearanceAnimated_);
  } else {
    return;
  }
  for (auto& child : std::vector<std::shared_ptr<UIViewController>>(children_)) {
    child->endAppearanceTransition();
  }
}

void UIViewController::reverseAppearanceTransition() {
  bool animated = appearanceAnimated_;
  if (appearance_ == Appearance::Appearing) {
    appearance_ = Appearance::Appeared;
    beginAppearanceTransition(false, animated);
  } else if (appearance_ == Appearance::Disappearing) {
    appearance_ = Appearance::Disappeared;
    beginAppearanceTransition(true, animated);
  } else {
    return;
  }
  endAppearanceTransition();
}

void UIViewController::viewMovedToWindow(bool inWindow) {
  auto parent = parent_.lock();
  if (!parent || parent->appearance_ != Appearance::Appeared) return;
  if (inWindow && appearance_ == Appearance::Disappeared) {
    beginAppearanceTransition(true, false);
    endAppearanceTransition();
  } else if (!inWindow && appearance_ == Appearance::Appeared) {
    beginAppearanceTransition(false, false);
    endAppearanceTransition();
  }
}

void UIViewController::noteAlreadyOnScreen() {
  if (appearance_ != Appearance::Disappeared || !view_ || !view_->window()) return;
  appearance_ = Appearance::Appeared;
  for (auto& child : childrenOnScreen()) child->noteAlreadyOnScreen();
}

// --- Presentation ---

std::shared_ptr<UIPresentationController> UIViewController::makePresentationController(
    const std::shared_ptr<UIViewController>& presenting) {
  if (!presentationController_ ||
      (modalStyle_ == UIModalPresentationStyle::Popover) !=
          (dynamic_cast<UIPopoverPresentationController*>(presentationController_.get()) !=
           nullptr)) {
    std::shared_ptr<UIPresentationController> pc;
    if (modalStyle_ == UIModalPresentationStyle::Custom) {
      if (auto td = transitioningDelegate()) {
        pc = td->presentationControllerForPresentedViewController(self(), presenting, presenting);
      }
    }
    if (!pc && modalStyle_ == UIModalPresentationStyle::Popover) {
      pc = std::make_shared<UIPopoverPresentationController>(self(), presenting);
    }
    if (!pc) pc = std::make_shared<UIPresentationController>(self(), presenting);
    presentationController_ = pc;
  }
  if (presenting) presentationController_->presenting_ = presenting;
  return presentationController_;
}

std::shared_ptr<UIViewController> UIViewController::presentedViewController() const {
  if (presented_) return presented_;
  for (auto vc = parentViewController(); vc; vc = vc->parentViewController()) {
    if (vc->presented_) return vc->presented_;
  }
  return nullptr;
}

std::shared_ptr<UIViewController> UIViewController::presentingViewController() const {
  if (auto presenting = presenting_.lock()) return presenting;
  for (auto vc = parentViewController(); vc; vc = vc->parentViewController()) {
    if (auto presenting = vc->presenting_.lock()) return presenting;
  }
  return nullptr;
}

std::shared_ptr<UIPresentationController> UIViewController::presentationController() {
  return makePresentationController(presenting_.lock());
}

std::shared_ptr<UIPopoverPresentationController>
UIViewController::popoverPresentationController() {
  if (modalStyle_ != UIModalPresentationStyle::Popover) return nullptr;
  return std::static_pointer_cast<UIPopoverPresentationController>(presentationController());
}

std::shared_ptr<UIViewController> UIViewController::dismissalTakingThis() {
  for (auto vc = self(); vc;) {
    if (vc->beingDismissed_) return vc;
    auto parent = vc->parent_.lock();
    vc = parent ? parent : vc->presenting_.lock();
  }
  return nullptr;
}

void UIViewController::presentViewController(const std::shared_ptr<UIViewController>& vc,
                                             bool animated, OnceClosure completion) {
  QX_DCHECK_MAIN_THREAD();
  if (!vc || vc.get() == this) return;
  // Asked of a screen that is sliding away (or of one inside it): that
  // screen will be gone in a moment and would take the new one with it, so
  // its dismissal is let finish at once and the controller it returns to
  // presents instead.
  auto leaving = dismissalTakingThis();
  if (auto returnsTo = leaving ? leaving->presenting_.lock() : nullptr) {
    if (returnsTo->transition_) returnsTo->transition_->context->completeTransition(true);
    returnsTo->presentViewController(vc, animated, std::move(completion));
    return;
  }
  // A dismissal still running is let finish at once: the new screen takes
  // the place of the one on its way out.
  if (presented_ && presented_->beingDismissed_ && transition_) {
    auto running = transition_->context;
    running->completeTransition(true);
  }
  if (presented_) {
    NSLog("Attempt to present " + vc->description() + " on " + description() +
          " which is already presenting " + presented_->description());
    return;
  }
  if (vc->presenting_.lock()) {
    NSLog("Attempt to present " + vc->description() + " which is already presented");
    return;
  }
  if (transition_) {
    NSLog("Attempt to present " + vc->description() + " on " + description() +
          " while a presentation is in progress");
    return;
  }
  auto me = self();
  auto pc = vc->makePresentationController(me);
  if (auto popover = std::dynamic_pointer_cast<UIPopoverPresentationController>(pc);
      popover && isPad() && !popover->sourceView() && !popover->barButtonItem()) {
    FatalStop("UIPopoverPresentationController (" + popover->description() +
              ") should have a non-nil sourceView or barButtonItem set before the presentation "
              "occurs.");
  }
  noteAlreadyOnScreen();
  presented_ = vc;
  vc->presenting_ = me;
  auto toView = vc->view();
  std::shared_ptr<UIView> container;
  if (auto w = window()) {
    container = std::make_shared<UIView>(w->bounds());
    w->addSubview(container);
  }
  pc->container_ = container;
  pc->prepareContainer();

  auto t = std::make_unique<Transition>();
  t->removesPresenter = pc->shouldRemovePresentersView();
  t->completion = std::move(completion);
  if (auto td = vc->transitioningDelegate()) {
    t->animator = td->animationControllerForPresentedController(vc, me, me);
    if (t->animator) t->interactor = td->interactionControllerForPresentation(*t->animator);
  }
  if (!t->animator && animated && container) t->animator = std::make_shared<PlatformAnimator>(true);
  if (!container) t->animator.reset();
  t->animated = animated && t->animator;

  vc->beingPresented_ = true;
  if (t->removesPresenter) beginAppearanceTransition(false, t->animated);
  vc->beginAppearanceTransition(true, t->animated);
  pc->presentationTransitionWillBegin();
  auto context = std::make_shared<UIViewControllerContextTransitioning>(
      container, me, vc, t->removesPresenter ? view() : nullptr, toView, t->animated,
      WeakBind(WeakFromThis(this), [vc](UIViewController& presenter, bool completed) {
        presenter.finishPresentation(vc, completed);
      }));
  CGRect final = container ? pc->frameOfPresentedViewInContainerView() : toView->frame();
  context->setFrames(vc.get(), CGRectZero, final);
  if (isViewLoaded()) context->setFrames(this, view_->frame(), view_->frame());
  t->context = context;
  auto animator = t->animator;
  auto interactor = t->interactor;
  transition_ = std::move(t);
  noteTransitionInWindow(*context);
  if (!animator && container) {
    container->addSubview(toView);
    toView->setFrame(final);
  }
  runTransition(*context, animator, interactor);
}

void UIViewController::noteTransitionInWindow(UIViewControllerContextTransitioning& context) {
  auto container = context.containerView();
  auto window = container ? container->window() : nullptr;
  if (!window) return;
  window->noteTransition(
      std::static_pointer_cast<UIViewControllerContextTransitioning>(context.shared_from_this()));
}

void UIViewController::finishPresentation(const std::shared_ptr<UIViewController>& vc,
                                          bool completed) {
  auto t = std::move(transition_);
  if (!t) return;
  auto keepAlive = self();
  vc->beingPresented_ = false;
  if (t->animator) t->animator->animationEnded(completed);
  auto pc = vc->presentationController_;
  pc->presentationTransitionDidEnd(completed);
  if (completed) {
    if (t->removesPresenter && pc->container_ && view_) view_->removeFromSuperview();
    if (t->removesPresenter) endAppearanceTransition();
    vc->endAppearanceTransition();
    t->completion();
    return;
  }
  if (t->removesPresenter) reverseAppearanceTransition();
  vc->reverseAppearanceTransition();
  if (vc->view_) vc->view_->removeFromSuperview();
  if (pc->container_) pc->container_->removeFromSuperview();
  presented_.reset();
  vc->presenting_.reset();
}

void UIViewController::dismissViewControllerAnimated(bool animated, OnceClosure completion) {
  QX_DCHECK_MAIN_THREAD();
  // What this controller presents is already on its way out, so the request
  // can only mean this controller: that dismissal ends at once and this one
  // follows it. Dismissing the leaving screen again would end it and leave
  // this one standing.
  if (auto leaving = presentedViewController(); leaving && leaving->beingDismissed_) {
    auto presenter = leaving->presenting_.lock();
    if (presenter && presenter->transition_) presenter->transition_->context->completeTransition(true);
  }
  std::shared_ptr<UIViewController> target = presentedViewController();
  std::shared_ptr<UIViewController> presenter = target ? target->presenting_.lock() : nullptr;
  if (target && !presenter) {
    completion();
    return;
  }
  if (!target) {
    presenter = presentingViewController();
    if (!presenter) {
      completion();
      return;
    }
    target = presenter->presented_;
  }
  // A presentation still running is let finish at once.
  if (presenter->transition_) {
    auto running = presenter->transition_->context;
    running->completeTransition(true);
    if (presenter->presented_ != target) {
      completion();
      return;
    }
  }
  if (target->presented_) target->dismissViewControllerAnimated(false);
  auto pc = target->presentationController_;
  auto container = pc->container_;
  auto t = std::make_unique<Transition>();
  t->removesPresenter = pc->shouldRemovePresentersView();
  t->completion = std::move(completion);
  if (t->removesPresenter && container && presenter->view_) {
    if (auto w = container->superview()) {
      auto& subs = w->subviews();
      size_t at = std::find(subs.begin(), subs.end(), container) - subs.begin();
      w->insertSubviewAtIndex(presenter->view_, at);
    }
  }
  if (auto td = target->transitioningDelegate()) {
    t->animator = td->animationControllerForDismissedController(target);
    if (t->animator) t->interactor = td->interactionControllerForDismissal(*t->animator);
  }
  if (!t->animator && animated && container) {
    t->animator = std::make_shared<PlatformAnimator>(false);
  }
  if (!container) t->animator.reset();
  t->animated = animated && t->animator;

  target->beingDismissed_ = true;
  target->beginAppearanceTransition(false, t->animated);
  if (t->removesPresenter) presenter->beginAppearanceTransition(true, t->animated);
  pc->dismissalTransitionWillBegin();
  auto context = std::make_shared<UIViewControllerContextTransitioning>(
      container, target, presenter, target->view_,
      t->removesPresenter ? presenter->view() : nullptr, t->animated,
      WeakBind(WeakFromThis(presenter.get()), [target](UIViewController& p, bool completed) {
        p.finishDismissal(target, completed);
      }));
  if (target->view_) context->setFrames(target.get(), target->view_->frame(), target->view_->frame());
  if (container) context->setFrames(presenter.get(), container->bounds(), container->bounds());
  t->context = context;
  auto animator = t->animator;
  auto interactor = t->interactor;
  presenter->transition_ = std::move(t);
  noteTransitionInWindow(*context);
  runTransition(*context, animator, interactor);
}

void UIViewController::finishDismissal(const std::shared_ptr<UIViewController>& vc,
                                       bool completed) {
  auto t = std::move(transition_);
  if (!t) return;
  auto keepAlive = self();
  vc->beingDismissed_ = false;
  if (t->animator) t->animator->animationEnded(completed);
  auto pc = vc->presentationController_;
  pc->dismissalTransitionDidEnd(completed);
  if (!completed) {
    vc->reverseAppearanceTransition();
    if (t->removesPresenter) {
      reverseAppearanceTransition();
      if (view_ && pc->container_) view_->removeFromSuperview();
    }
    return;
  }
  if (vc->view_) vc->view_->removeFromSuperview();
  if (auto box = pc->container_) {
    // An animator may have put the returning screen into the container; it
    // goes back to its place in the window, under the container.
    auto w = box->superview();
    if (t->removesPresenter && view_ && w && view_->isDescendantOfView(box.get())) {
      w->insertSubviewBelowSubview(view_, box.get());
    }
    box->removeFromSuperview();
  }
  pc->container_.reset();
  presented_.reset();
  vc->presenting_.reset();
  vc->endAppearanceTransition();
  if (t->removesPresenter) endAppearanceTransition();
  t->completion();
}

std::shared_ptr<UIViewController> UIViewController::topmostPresented(
    std::shared_ptr<UIViewController> vc) {
  while (vc && vc->presented_) vc = vc->presented_;
  return vc;
}

// --- Containment ---

void UIViewController::addChildViewController(const std::shared_ptr<UIViewController>& child) {
  QX_DCHECK_MAIN_THREAD();
  if (!child || child.get() == this) return;
  if (child->parentViewController().get() != this) child->removeFromParentViewController();
  else return;
  child->willMoveToParentViewController(self());
  children_.push_back(child);
  child->parent_ = self();
}

void UIViewController::removeFromParentViewController() {
  QX_DCHECK_MAIN_THREAD();
  auto parent = parent_.lock();
  if (!parent) return;
  auto me = self();
  std::erase(parent->children_, me);
  parent_.reset();
  didMoveToParentViewController(nullptr);
}

std::shared_ptr<UINavigationController> UIViewController::navigationController() const {
  for (auto p = parent_.lock(); p; p = p->parent_.lock()) {
    if (auto nav = std::dynamic_pointer_cast<UINavigationController>(p)) return nav;
  }
  return nullptr;
}

std::shared_ptr<UINavigationItem> UIViewController::navigationItem() {
  if (!navigationItem_) {
    navigationItem_ = std::make_shared<UINavigationItem>(title_);
  }
  return navigationItem_;
}

// --- Sizes, status bar, orientation ---

void UIViewController::setPreferredContentSize(const CGSize& size) {
  QX_DCHECK_MAIN_THREAD();
  preferredContentSize_.set(size);
  if (auto parent = parent_.lock()) parent->preferredContentSizeDidChangeForChildContentContainer(*this);
}

void UIViewController::setNeedsStatusBarAppearanceUpdate() {
  QX_DCHECK_MAIN_THREAD();
  ++statusBarUpdates_;
}

uint64_t UIViewController::supportedInterfaceOrientations() const {
  return isPad() ? UIInterfaceOrientationMaskAll : UIInterfaceOrientationMaskAllButUpsideDown;
}

void UIViewController::viewWillTransitionToSize(
    const CGSize& size, UIViewControllerTransitionCoordinator& coordinator) {
  for (auto& child : std::vector<std::shared_ptr<UIViewController>>(children_)) {
    child->viewWillTransitionToSize(size, coordinator);
  }
}

void UIViewController::transitionWindowToSize(const std::shared_ptr<UIWindow>& window,
                                              const CGSize& size, double duration) {
  QX_DCHECK_MAIN_THREAD();
  if (!window) return;
  auto coordinator = std::make_shared<UIViewControllerTransitionCoordinator>(duration);
  std::vector<std::shared_ptr<UIViewController>> chain;
  for (auto vc = window->rootViewController(); vc; vc = vc->presented_) chain.push_back(vc);
  for (auto& vc : chain) vc->viewWillTransitionToSize(size, *coordinator);
  CGRect frame = window->frame();
  window->setFrame(CGRectMake(frame.origin.x, frame.origin.y, size.width, size.height));
  CGRect bounds = CGRectMake(0, 0, size.width, size.height);
  for (auto& vc : chain) {
    auto pc = vc->presentationController_;
    if (pc && pc->container_) {
      pc->container_->setFrame(bounds);
      if (vc->view_) vc->view_->setFrame(pc->frameOfPresentedViewInContainerView());
    } else if (vc->view_) {
      vc->view_->setFrame(bounds);
    }
  }
  coordinator->run();
}

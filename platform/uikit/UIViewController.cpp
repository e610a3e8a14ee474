#include "UIViewController.h"

#include <algorithm>

#include "UIWindow.h"
#include "platform/foundation/OSLog.h"

std::shared_ptr<UIView> UIViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) view_ = std::make_shared<UIView>();
    view_->setOwningViewController(std::static_pointer_cast<UIViewController>(shared_from_this()));
    viewDidLoad();
  }
  return view_;
}

void UIViewController::setView(std::shared_ptr<UIView> view) {
  view_ = std::move(view);
  if (view_) {
    view_->setOwningViewController(std::static_pointer_cast<UIViewController>(shared_from_this()));
  }
}

void UIViewController::loadView() { view_ = std::make_shared<UIView>(); }

std::shared_ptr<UIPopoverPresentationController> UIViewController::popoverPresentationController() {
  if (modalStyle_ != UIModalPresentationStyle::Popover) return nullptr;
  if (!popover_) popover_ = std::make_shared<UIPopoverPresentationController>();
  return popover_;
}

std::shared_ptr<UIWindow> UIViewController::window() {
  return view_ ? view_->window() : nullptr;
}

void UIViewController::presentViewController(const std::shared_ptr<UIViewController>& vc,
                                             bool animated, std::function<void()> completion) {
  if (!vc || vc.get() == this) return;
  if (presented_) {
    NSLog("Attempt to present " + vc->description() + " on " + description() +
          " which is already presenting " + presented_->description());
    return;
  }
  if (vc->presentingViewController()) {
    NSLog("Attempt to present " + vc->description() + " which is already presented");
    return;
  }
  presented_ = vc;
  vc->presenting_ = std::static_pointer_cast<UIViewController>(shared_from_this());
  vc->viewWillAppear(animated);
  if (auto w = window()) {
    auto v = vc->view();
    v->setFrame(w->bounds());
    w->addSubview(v);
  }
  vc->viewDidAppear(animated);
  if (completion) completion();
}

void UIViewController::dismissViewControllerAnimated(bool animated,
                                                     std::function<void()> completion) {
  std::shared_ptr<UIViewController> target = presented_;
  std::shared_ptr<UIViewController> presenter =
      std::static_pointer_cast<UIViewController>(shared_from_this());
  if (!target) {
    presenter = presenting_.lock();
    if (!presenter) {
      if (completion) completion();
      return;
    }
    target = presenter->presented_;
  }
  // Whatever the dismissed controller presents goes with it.
  if (target->presented_) target->dismissViewControllerAnimated(animated);
  target->viewWillDisappear(animated);
  if (target->isViewLoaded()) target->view()->removeFromSuperview();
  presenter->presented_.reset();
  target->presenting_.reset();
  target->viewDidDisappear(animated);
  if (completion) completion();
}

void UIViewController::addChildViewController(const std::shared_ptr<UIViewController>& child) {
  if (!child || child.get() == this) return;
  child->removeFromParentViewController();
  children_.push_back(child);
  child->parent_ = std::static_pointer_cast<UIViewController>(shared_from_this());
}

void UIViewController::removeFromParentViewController() {
  auto parent = parent_.lock();
  if (!parent) return;
  auto self = std::static_pointer_cast<UIViewController>(shared_from_this());
  std::erase(parent->children_, self);
  parent_.reset();
}

std::shared_ptr<UIViewController> UIViewController::topmostPresented(
    std::shared_ptr<UIViewController> vc) {
  while (vc && vc->presented_) vc = vc->presented_;
  return vc;
}

std::shared_ptr<UIResponder> UIViewController::nextResponder() const {
  return view_ ? view_->superview() : nullptr;
}

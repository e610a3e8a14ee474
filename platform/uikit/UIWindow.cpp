#include "UIWindow.h"

#include <algorithm>

#include "UIApplication.h"
#include "UIViewController.h"
#include "UIViewControllerTransitioning.h"
#include "UIScreen.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/ThreadChecks.h"

namespace {
Mutex gKeyMutex;  // guards gKeyWindow
std::weak_ptr<UIWindow> gKeyWindow GUARDED_BY(gKeyMutex);
}  // namespace

void UIWindow::setRootViewController(std::shared_ptr<UIViewController> vc) {
  QX_DCHECK_MAIN_THREAD();
  if (vc == rootViewController_) return;
  // A shown window's old root goes away and the new one comes, with their
  // appearance callbacks, as on the platform.
  bool shown = !isHidden();
  if (auto old = rootViewController_) {
    if (shown) old->beginAppearanceTransition(false, false);
    old->view()->removeFromSuperview();
    if (shown) old->endAppearanceTransition();
  }
  rootViewController_ = std::move(vc);
  if (!rootViewController_) return;
  UIApplication::sharedApplication()->noteWindow(
      std::static_pointer_cast<UIWindow>(shared_from_this()));
  auto root = rootViewController_;
  if (shown) root->beginAppearanceTransition(true, false);
  auto view = root->view();
  view->setFrame(bounds());
  view->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  addSubview(view);
  view->layoutIfNeeded();
  if (shown) root->endAppearanceTransition();
}

void UIWindow::setHidden(bool hidden) {
  bool was = isHidden();
  auto root = rootViewController_;
  if (root && was != hidden) root->beginAppearanceTransition(!hidden, false);
  UIView::setHidden(hidden);
  if (root && was != hidden) root->endAppearanceTransition();
}

void UIWindow::makeKeyAndVisible() {
  QX_DCHECK_MAIN_THREAD();
  setHidden(false);
  UIApplication::sharedApplication()->noteWindow(
      std::static_pointer_cast<UIWindow>(shared_from_this()));
  MutexLock lock(gKeyMutex);
  gKeyWindow = std::static_pointer_cast<UIWindow>(shared_from_this());
}

bool UIWindow::isKeyWindow() const {
  MutexLock lock(gKeyMutex);
  return gKeyWindow.lock().get() == this;
}

std::shared_ptr<UIWindow> UIWindow::keyWindow() {
  MutexLock lock(gKeyMutex);
  return gKeyWindow.lock();
}

std::shared_ptr<UIScreen> UIWindow::screen() const {
  return screen_ ? screen_ : UIScreen::mainScreen();
}

UIEdgeInsets UIWindow::windowSafeAreaInsets() const {
  auto s = screen();
  UIEdgeInsets insets = s->safeAreaInsets();
  CGRect sb = s->bounds(), f = frame();
  return UIEdgeInsetsMake(std::max(0.0, insets.top - (f.origin.y - sb.origin.y)),
                          std::max(0.0, insets.left - (f.origin.x - sb.origin.x)),
                          std::max(0.0, insets.bottom - (CGRectGetMaxY(sb) - CGRectGetMaxY(f))),
                          std::max(0.0, insets.right - (CGRectGetMaxX(sb) - CGRectGetMaxX(f))));
}

bool UIWindow::isTransitioning() const {
  return std::any_of(transitions_.begin(), transitions_.end(), [](const auto& weak) {
    auto context = weak.lock();
    return context && !context->isCompleted();
  });
}

void UIWindow::noteTransition(
    const std::shared_ptr<UIViewControllerContextTransitioning>& context) {
  QX_DCHECK_MAIN_THREAD();
  std::erase_if(transitions_, [](const auto& weak) {
    auto running = weak.lock();
    return !running || running->isCompleted();
  });
  transitions_.push_back(context);
}

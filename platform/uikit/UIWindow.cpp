#include "UIWindow.h"

#include <algorithm>
#include <mutex>

#include "UIViewController.h"
#include "UIScreen.h"
#include "platform/foundation/ThreadChecks.h"

namespace {
std::mutex gKeyMutex;  // guards gKeyWindow
std::weak_ptr<UIWindow> gKeyWindow;
}  // namespace

void UIWindow::setRootViewController(std::shared_ptr<UIViewController> vc) {
  QX_DCHECK_MAIN_THREAD();
  if (rootViewController_) rootViewController_->view()->removeFromSuperview();
  rootViewController_ = std::move(vc);
  if (!rootViewController_) return;
  auto view = rootViewController_->view();
  view->setFrame(bounds());
  addSubview(view);
}

void UIWindow::makeKeyAndVisible() {
  QX_DCHECK_MAIN_THREAD();
  setHidden(false);
  std::lock_guard<std::mutex> lock(gKeyMutex);
  gKeyWindow = std::static_pointer_cast<UIWindow>(shared_from_this());
}

bool UIWindow::isKeyWindow() const {
  std::lock_guard<std::mutex> lock(gKeyMutex);
  return gKeyWindow.lock().get() == this;
}

std::shared_ptr<UIWindow> UIWindow::keyWindow() {
  std::lock_guard<std::mutex> lock(gKeyMutex);
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

#include "UIWindow.h"

#include <mutex>

#include "UIViewController.h"

namespace {
std::mutex gKeyMutex;
std::weak_ptr<UIWindow> gKeyWindow;
}  // namespace

void UIWindow::setRootViewController(std::shared_ptr<UIViewController> vc) {
  if (rootViewController_) rootViewController_->view()->removeFromSuperview();
  rootViewController_ = std::move(vc);
  if (!rootViewController_) return;
  auto view = rootViewController_->view();
  view->setFrame(bounds());
  addSubview(view);
}

void UIWindow::makeKeyAndVisible() {
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

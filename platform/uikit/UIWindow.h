#pragma once

#include <memory>
#include <vector>

#include "UIView.h"
#include "platform/foundation/ThreadChecks.h"

class UIWindowScene;
class UIScreen;
class UIViewController;
class UIEvent;
class UIViewControllerContextTransitioning;

// A window: the root of a view tree, with a root view controller whose view it
// holds, and the scene it belongs to.
class UIWindow : public UIView {
 public:
  using UIView::UIView;

  std::shared_ptr<UIWindow> window() const override {
    return std::static_pointer_cast<UIWindow>(
        std::const_pointer_cast<NSObject>(shared_from_this()));
  }

  std::shared_ptr<UIViewController> rootViewController() const { return rootViewController_; }
  // Installs the controller's view as the window's only content view.
  void setRootViewController(std::shared_ptr<UIViewController> vc);

  std::shared_ptr<UIWindowScene> windowScene() const { return windowScene_.lock(); }
  void setWindowScene(const std::shared_ptr<UIWindowScene>& scene) {
    QX_DCHECK_MAIN_THREAD();
    windowScene_ = scene;
  }

  // The main screen unless set.
  std::shared_ptr<UIScreen> screen() const;
  void setScreen(std::shared_ptr<UIScreen> screen) {
    QX_DCHECK_MAIN_THREAD();
    screen_ = std::move(screen);
  }
  // The screen's safe area where the window covers it.
  UIEdgeInsets windowSafeAreaInsets() const;

  // The root controller appears and disappears with the window.
  void setHidden(bool hidden) override;
  void makeKeyAndVisible();
  bool isKeyWindow() const;
  static std::shared_ptr<UIWindow> keyWindow();

  // --- Touch delivery (UIEvent.cpp) ---
  // Hit-tests the event's new touches, hands every touch to the gesture
  // recognizers it reached first and then to the view it hit. A touch that
  // begins while a transition runs reaches nothing, for its whole life.
  void sendEvent(UIEvent* event);

  // While a presentation, a dismissal, an animated navigation push or pop,
  // or a controller's own transition (a popover opening or closing) runs in
  // this window. No view takes new touches then, as on the platform: the
  // screen under the finger is about to change, and a tap meant for the
  // leaving screen must not reach the one it uncovers.
  bool isTransitioning() const;

 private:
  friend class UIViewController;
  void hitTestNewTouch(const std::shared_ptr<UITouch>& touch);
  // A transition started in this window; it runs until its context
  // completes.
  void noteTransition(const std::shared_ptr<UIViewControllerContextTransitioning>& context);

  std::vector<std::weak_ptr<UIViewControllerContextTransitioning>> transitions_;
  std::shared_ptr<UIViewController> rootViewController_;
  std::weak_ptr<UIWindowScene> windowScene_;
  std::shared_ptr<UIScreen> screen_;
};

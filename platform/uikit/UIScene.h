#pragma once

// Scenes: the application's windows live in window scenes, and a window
// scene shows on one screen. The headless host has a single window scene on
// the main screen; plugins reach it through their view controller's window
// and receive its life-cycle events through the engine.

#include <memory>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"

class UIScreen;

enum class UISceneActivationState {
  Unattached = -1,
  ForegroundActive = 0,
  ForegroundInactive = 1,
  Background = 2,
};

class UIScene : public NSObject {
 public:
  UISceneActivationState activationState() const { return activationState_; }
  void setActivationState(UISceneActivationState state) {
    QX_DCHECK_MAIN_THREAD();
    activationState_ = state;
  }

 private:
  UISceneActivationState activationState_ = UISceneActivationState::Unattached;
};

class UIWindowScene : public UIScene {
 public:
  // A scene on `screen`; a null screen means the main screen.
  explicit UIWindowScene(std::shared_ptr<UIScreen> screen = nullptr);

  // The one window scene of the headless application, on the main screen.
  static std::shared_ptr<UIWindowScene> defaultScene();

  std::shared_ptr<UIScreen> screen() const { return screen_; }

 private:
  std::shared_ptr<UIScreen> screen_;
};

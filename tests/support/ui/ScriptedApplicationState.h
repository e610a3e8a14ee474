#pragma once

// The system's side of the application's life, played by a test: installed
// on the shared application in the state it is in, it moves the application
// when told, and the delegate and observers hear of it at once, as they
// would of the system's move.

#include <memory>

#include "platform/uikit/UIApplication.h"

class ScriptedApplicationState : public UIApplicationStateProvider {
 public:
  static std::shared_ptr<ScriptedApplicationState> install();

  // Call on the main thread.
  void set(UIApplicationState state);
  UIApplicationState state() override { return state_; }

 private:
  UIApplicationState state_ = UIApplicationState::Inactive;
};

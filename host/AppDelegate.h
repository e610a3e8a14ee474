#pragma once

#include <memory>

#include "platform/flutter/FlutterAppDelegate.h"

class UIWindow;

class AppDelegate : public FlutterAppDelegate, public FlutterImplicitEngineDelegate {
 public:
  // The name the process entry hands to the application main function.
  static constexpr const char* kRuntimeName = "quorlinex.AppDelegate";
  // Makes the class known to the runtime under kRuntimeName.
  static void registerClass();

  bool applicationDidFinishLaunchingWithOptions(UIApplication& app,
                                                const Value& launchOptions) override;
  void didInitializeImplicitFlutterEngine(FlutterImplicitEngineBridge& bridge) override;

  // The application's one window, key and visible once launched: its root
  // controller stands for the engine's view, and plugins present their
  // screens (pickers, sheets) over it.
  const std::shared_ptr<UIWindow>& window() const { return window_; }

 private:
  std::shared_ptr<UIWindow> window_;
};

#pragma once

#include "platform/flutter/FlutterAppDelegate.h"

class AppDelegate : public FlutterAppDelegate, public FlutterImplicitEngineDelegate {
 public:
  // The name the process entry hands to the application main function.
  static constexpr const char* kRuntimeName = "quorlinex.AppDelegate";
  // Makes the class known to the runtime under kRuntimeName.
  static void registerClass();

  bool applicationDidFinishLaunchingWithOptions(UIApplication& app,
                                                const Value& launchOptions) override;
  void didInitializeImplicitFlutterEngine(FlutterImplicitEngineBridge& bridge) override;
};

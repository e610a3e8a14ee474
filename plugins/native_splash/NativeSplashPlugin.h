#pragma once

// Answers the system's name and version for the splash screen's Dart side.

#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/NSObject.h"

class NativeSplashPlugin : public NSObject, public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;
};

#pragma once

#include "platform/flutter/FlutterPlugin.h"

class ScreenBrightnessIosPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

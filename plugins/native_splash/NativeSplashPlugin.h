#pragma once

#include "platform/flutter/FlutterPlugin.h"

class NativeSplashPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

#pragma once

#include "platform/flutter/FlutterPlugin.h"

class WakelockPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

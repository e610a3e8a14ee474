#pragma once

#include "platform/flutter/FlutterPlugin.h"

class TQBatteryPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

#pragma once

#include "platform/flutter/FlutterPlugin.h"

class TQSensorsPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

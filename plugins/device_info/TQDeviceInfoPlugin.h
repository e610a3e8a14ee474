#pragma once

#include "platform/flutter/FlutterPlugin.h"

class TQDeviceInfoPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

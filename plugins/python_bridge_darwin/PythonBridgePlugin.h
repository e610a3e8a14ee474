#pragma once

#include "platform/flutter/FlutterPlugin.h"

class PythonBridgePlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

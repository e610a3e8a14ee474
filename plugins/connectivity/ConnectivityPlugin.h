#pragma once

#include "platform/flutter/FlutterPlugin.h"

class ConnectivityPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

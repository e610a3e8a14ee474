#pragma once

#include "platform/flutter/FlutterPlugin.h"

class SharedPreferencesPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

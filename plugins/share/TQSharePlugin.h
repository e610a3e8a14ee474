#pragma once

#include "platform/flutter/FlutterPlugin.h"

class TQSharePlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

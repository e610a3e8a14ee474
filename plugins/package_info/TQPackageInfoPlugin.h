#pragma once

#include "platform/flutter/FlutterPlugin.h"

class TQPackageInfoPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

#pragma once

#include "platform/flutter/FlutterPlugin.h"

class URLLauncherPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

#pragma once

#include "platform/flutter/FlutterPlugin.h"

class PasteboardPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
};

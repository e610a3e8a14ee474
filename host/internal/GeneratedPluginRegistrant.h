#pragma once

#include <memory>

#include "platform/flutter/FlutterPlugin.h"

class GeneratedPluginRegistrant {
 public:
  static void registerWithRegistry(const std::shared_ptr<FlutterPluginRegistry>& registry);
};

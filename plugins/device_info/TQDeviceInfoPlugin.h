#pragma once

// One method, "getDeviceInfo": names and versions of the device and its
// system, the machine identifier with its marketing name, disk and memory
// sizes, and where the application runs.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/NSObject.h"

class TQDeviceInfoPlugin : public NSObject, public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;

  // Free memory in mebibytes; -1 when the kernel's statistics cannot be read.
  int64_t availableMemoryInbMB() const;
  // Always true: the host runs on the machine itself, not in a simulator.
  bool isDevicePhysical() const;
  Value deviceInfo() const;
};

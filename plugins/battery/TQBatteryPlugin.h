#pragma once

// Battery level, charging state and low-power mode on request, and a stream of
// charging-state changes. Battery monitoring, once a request turned it on,
// stays on until a stream cancel turns it off.

#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSObject.h"

class TQBatteryPlugin : public NSObject, public FlutterPlugin, public FlutterStreamHandler {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
  ~TQBatteryPlugin() override;

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;
  FlutterErrorPtr onListenWithArguments(const Value& arguments, FlutterEventSink events) override;
  FlutterErrorPtr onCancelWithArguments(const Value& arguments) override;

  // Percent 0 to 100, truncated; -1 when the state is unknown.
  int64_t getBatteryLevel();
  // "unknown", "discharging", "charging", "full"; nothing for a state without
  // a name.
  std::optional<std::string> getBatteryState();
  void sendBatteryStateEvent();
  void onBatteryStateDidChange(const NSNotification& notification);

 private:
  FlutterEventSink eventSink_;
};

#pragma once

// Which kinds of network the device can use: on request ("check") and as a
// stream of changes. Changes arriving while the application is in the
// background are dropped, not kept for later.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/connectivity/ConnectivityProvider.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/NSObject.h"

class ConnectivityPlugin : public NSObject, public FlutterPlugin, public FlutterStreamHandler {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);
  // The same, with the provider given (tests hold on to it).
  static std::shared_ptr<ConnectivityPlugin> registerWithRegistrar(
      const FlutterPluginRegistrarPtr& registrar, std::shared_ptr<ConnectivityProvider> provider);

  static std::shared_ptr<ConnectivityPlugin> create(std::shared_ptr<ConnectivityProvider> provider);

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;
  FlutterErrorPtr onListenWithArguments(const Value& arguments, FlutterEventSink events) override;
  FlutterErrorPtr onCancelWithArguments(const Value& arguments) override;
  void detachFromEngineForRegistrar(const FlutterPluginRegistrarPtr& registrar) override;

  static Value typeNames(const std::vector<ConnectivityType>& types);

 private:
  explicit ConnectivityPlugin(std::shared_ptr<ConnectivityProvider> provider);
  // Delivers on the main queue, unless the listener or the plugin is gone or
  // the application is in the background.
  void sendTypes(std::vector<ConnectivityType> types);

  std::shared_ptr<ConnectivityProvider> connectivityProvider_;
  FlutterEventSink eventSink_;  // main thread only
};

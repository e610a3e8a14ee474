#include "ConnectivityPlugin.h"

#include "internal/PathMonitorConnectivityProvider.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIApplication.h"

namespace {
const char* const kMethodChannel = "dev.tarnquell.plugins/connectivity";
const char* const kEventChannel = "dev.tarnquell.plugins/connectivity_status";
}  // namespace

void ConnectivityPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  registerWithRegistrar(registrar, nullptr);
}

std::shared_ptr<ConnectivityPlugin> ConnectivityPlugin::registerWithRegistrar(
    const FlutterPluginRegistrarPtr& registrar, std::shared_ptr<ConnectivityProvider> provider) {
  auto methods =
      FlutterMethodChannel::methodChannelWithName(kMethodChannel, registrar->messenger());
  auto events = FlutterEventChannel::eventChannelWithName(kEventChannel, registrar->messenger());
  if (!provider) provider = PathMonitorConnectivityProvider::create();
  auto plugin = create(std::move(provider));
  events->setStreamHandler(plugin);
  registrar->addMethodCallDelegate(plugin, methods);
  return plugin;
}

ConnectivityPlugin::ConnectivityPlugin(std::shared_ptr<ConnectivityProvider> provider)
    : connectivityProvider_(std::move(provider)) {}

std::shared_ptr<ConnectivityPlugin> ConnectivityPlugin::create(
    std::shared_ptr<ConnectivityProvider> provider) {
  std::shared_ptr<ConnectivityPlugin> plugin(new ConnectivityPlugin(std::move(provider)));
  // Weak: the plugin owns the provider, which owns this handler.
  std::weak_ptr<ConnectivityPlugin> weak = plugin;
  plugin->connectivityProvider_->setConnectivityUpdateHandler(
      [weak](const std::vector<ConnectivityType>& types) {
        if (auto self = weak.lock()) self->sendTypes(types);
      });
  return plugin;
}

Value ConnectivityPlugin::typeNames(const std::vector<ConnectivityType>& types) {
  ValueList names;
  names.reserve(types.size());
  for (ConnectivityType type : types) names.emplace_back(ConnectivityTypeName(type));
  return Value(std::move(names));
}

void ConnectivityPlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method == "check") {
    result(typeNames(connectivityProvider_->currentTypes()));
  } else {
    result(FlutterMethodNotImplemented);
  }
}

FlutterErrorPtr ConnectivityPlugin::onListenWithArguments(const Value&, FlutterEventSink events) {
  eventSink_ = std::move(events);
  connectivityProvider_->startMonitoring();
  sendTypes(connectivityProvider_->currentTypes());
  return nullptr;
}

FlutterErrorPtr ConnectivityPlugin::onCancelWithArguments(const Value&) {
  connectivityProvider_->stopMonitoring();
  eventSink_ = FlutterEventSink();
  return nullptr;
}

void ConnectivityPlugin::detachFromEngineForRegistrar(const FlutterPluginRegistrarPtr&) {
  eventSink_ = FlutterEventSink();
  connectivityProvider_->stopMonitoring();
}

void ConnectivityPlugin::sendTypes(std::vector<ConnectivityType> types) {
  std::weak_ptr<ConnectivityPlugin> weak =
      std::static_pointer_cast<ConnectivityPlugin>(shared_from_this());
  dispatch_async(dispatch_get_main_queue(), [weak, types = std::move(types)] {
    auto self = weak.lock();
    if (!self || !self->eventSink_) return;
    if (UIApplication::sharedApplication()->applicationState() == UIApplicationState::Background) {
      return;
    }
    self->eventSink_(typeNames(types));
  });
}

#include "TQBatteryPlugin.h"

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIDevice.h"

namespace {

const char* const kMethodChannel = "dev.tarnquell.plugins/battery";
const char* const kEventChannel = "dev.tarnquell.plugins/charging";

FlutterErrorPtr chargingStatusUnavailable() {
  return FlutterError::errorWithCode("UNAVAILABLE", "Charging status unavailable");
}

}  // namespace

void TQBatteryPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<TQBatteryPlugin>();
  registrar->addMethodCallDelegate(instance, FlutterMethodChannel::methodChannelWithName(
                                                 kMethodChannel, registrar->messenger()));
  FlutterEventChannel::eventChannelWithName(kEventChannel, registrar->messenger())
      ->setStreamHandler(instance);
}

TQBatteryPlugin::~TQBatteryPlugin() { NSNotificationCenter::defaultCenter().removeObserver(this); }

void TQBatteryPlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method == "getBatteryLevel") {
    int64_t level = getBatteryLevel();
    if (level == -1) {
      result(FlutterError::errorWithCode("UNAVAILABLE", "Battery info unavailable"));
    } else {
      result(Value::integer(level));
    }
  } else if (call.method == "getBatteryState") {
    auto state = getBatteryState();
    if (state) {
      result(Value(*state));
    } else {
      result(chargingStatusUnavailable());
    }
  } else if (call.method == "isInBatterySaveMode") {
    result(Value(NSProcessInfo::processInfo().isLowPowerModeEnabled()));
  } else {
    result(FlutterMethodNotImplemented);
  }
}

int64_t TQBatteryPlugin::getBatteryLevel() {
  auto device = UIDevice::currentDevice();
  device->setBatteryMonitoringEnabled(true);
  if (device->batteryState() == UIDeviceBatteryState::Unknown) return -1;
  // Single precision throughout, as the platform's level is: 0.999 gives 99.
  float percent = device->batteryLevel() * 100.0f;
  return static_cast<int64_t>(percent);
}

std::optional<std::string> TQBatteryPlugin::getBatteryState() {
  auto device = UIDevice::currentDevice();
  device->setBatteryMonitoringEnabled(true);
  switch (device->batteryState()) {
    case UIDeviceBatteryState::Unknown:
      return "unknown";
    case UIDeviceBatteryState::Unplugged:
      return "discharging";
    case UIDeviceBatteryState::Charging:
      return "charging";
    case UIDeviceBatteryState::Full:
      return "full";
  }
  return std::nullopt;
}

void TQBatteryPlugin::sendBatteryStateEvent() {
  if (!eventSink_) return;
  auto state = getBatteryState();
  if (state) {
    eventSink_(Value(*state));
  } else {
    eventSink_(chargingStatusUnavailable());
  }
}

void TQBatteryPlugin::onBatteryStateDidChange(const NSNotification&) { sendBatteryStateEvent(); }

FlutterErrorPtr TQBatteryPlugin::onListenWithArguments(const Value&, FlutterEventSink events) {
  eventSink_ = std::move(events);
  UIDevice::currentDevice()->setBatteryMonitoringEnabled(true);
  sendBatteryStateEvent();
  NSNotificationCenter::defaultCenter().addObserver(
      this, UIDeviceBatteryStateDidChangeNotification, nullptr,
      WeakBind(WeakFromThis(this), [](TQBatteryPlugin& self, const NSNotification& n) {
        self.onBatteryStateDidChange(n);
      }));
  return nullptr;
}

FlutterErrorPtr TQBatteryPlugin::onCancelWithArguments(const Value&) {
  NSNotificationCenter::defaultCenter().removeObserver(this);
  UIDevice::currentDevice()->setBatteryMonitoringEnabled(false);
  eventSink_ = FlutterEventSink();
  return nullptr;
}

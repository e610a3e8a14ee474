#include "TQSensorsPlugin.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "internal/MotionStreamHandler.h"
#include "platform/coremotion/CMAltimeter.h"
#include "platform/coremotion/CMMotionManager.h"
#include "platform/foundation/NSProcessInfo.h"

namespace {

constexpr double kDefaultUpdateInterval = 0.2;

// Module-wide state: created at most once per process and never released.
struct SensorsState {
  std::map<std::string, std::shared_ptr<FlutterEventChannel>> eventChannelsByName;
  std::map<std::string, std::shared_ptr<MotionStreamHandler>> streamHandlersByName;
  std::shared_ptr<CMMotionManager> sharedMotionManager;
  std::shared_ptr<CMAltimeter> sharedAltimeter;
};

SensorsState& state() {
  static auto* s = new SensorsState();  // outlives every channel and queue
  return *s;
}

template <class Handler>
void registerSensor(const char* name, const std::shared_ptr<FlutterBinaryMessenger>& messenger) {
  auto handler = std::make_shared<Handler>();
  auto channel = FlutterEventChannel::eventChannelWithName(name, messenger);
  channel->setStreamHandler(handler);
  state().eventChannelsByName[name] = channel;
  state().streamHandlersByName[name] = handler;
}

// Method name to the channel whose handler's period it sets, in match order.
const std::vector<std::pair<std::string, std::string>>& periodMethods() {
  static const std::vector<std::pair<std::string, std::string>> methods = {
      {"setAccelerationSamplingPeriod", TQSensorsPlugin::kAccelerometerChannelName},
      {"setUserAccelerometerSamplingPeriod", TQSensorsPlugin::kUserAccelChannelName},
      {"setGyroscopeSamplingPeriod", TQSensorsPlugin::kGyroscopeChannelName},
      {"setMagnetometerSamplingPeriod", TQSensorsPlugin::kMagnetometerChannelName},
      {"setBarometerSamplingPeriod", TQSensorsPlugin::kBarometerChannelName},
  };
  return methods;
}

void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  for (const auto& [method, channelName] : periodMethods()) {
    if (call.method != method) continue;
    if (!call.arguments.isInteger()) {
      result(FlutterError::errorWithCode(
          "INVALID_ARGUMENT", "The sampling period must be an integer number of microseconds"));
      return;
    }
    auto it = state().streamHandlersByName.find(channelName);
    if (it != state().streamHandlersByName.end()) {
      it->second->setSamplingPeriod(call.arguments.asInt64());
    }
    result(nullptr);
    return;
  }
  result(FlutterMethodNotImplemented);
}

}  // namespace

void TQSensorsPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto messenger = registrar->messenger();
  registerSensor<TQAccelerometerStreamHandler>(kAccelerometerChannelName, messenger);
  registerSensor<TQUserAccelStreamHandler>(kUserAccelChannelName, messenger);
  registerSensor<TQGyroscopeStreamHandler>(kGyroscopeChannelName, messenger);
  registerSensor<TQMagnetometerStreamHandler>(kMagnetometerChannelName, messenger);
  registerSensor<TQBarometerStreamHandler>(kBarometerChannelName, messenger);
  auto methodChannel = FlutterMethodChannel::methodChannelWithName(kMethodChannelName, messenger);
  methodChannel->setMethodCallHandler(handleMethodCall);
}

std::shared_ptr<CMMotionManager> TQSensorsPlugin::ensureMotionManager() {
  auto& manager = state().sharedMotionManager;
  if (!manager) {
    manager = std::make_shared<CMMotionManager>();
    manager->setAccelerometerUpdateInterval(kDefaultUpdateInterval);
    manager->setDeviceMotionUpdateInterval(kDefaultUpdateInterval);
    manager->setGyroUpdateInterval(kDefaultUpdateInterval);
    manager->setMagnetometerUpdateInterval(kDefaultUpdateInterval);
  }
  return manager;
}

std::shared_ptr<CMMotionManager> TQSensorsPlugin::sharedMotionManager() {
  return state().sharedMotionManager;
}

std::shared_ptr<CMAltimeter> TQSensorsPlugin::ensureAltimeter() {
  auto& altimeter = state().sharedAltimeter;
  if (!altimeter) altimeter = std::make_shared<CMAltimeter>();
  return altimeter;
}

double TQSensorsPlugin::bootTimeOffsetMicros() {
  static std::once_flag once;
  static double offset = 0;
  std::call_once(once, [] {
    using namespace std::chrono;
    // Wall clock first, uptime second.
    const double now = duration<double>(system_clock::now().time_since_epoch()).count();
    const double uptime = NSProcessInfo::processInfo().systemUptime();
    offset = (now - uptime) * 1e6;
  });
  return offset;
}

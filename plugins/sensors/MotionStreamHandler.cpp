#include "internal/MotionStreamHandler.h"

#include <string>
#include <utility>
#include <vector>

#include "TQSensorsPlugin.h"
#include "platform/coremotion/CMAltimeter.h"
#include "platform/coremotion/CMMotionManager.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSOperation.h"

namespace {

// The platform reports acceleration in g with the opposite sign.
constexpr double kStandardGravity = -9.81;
constexpr double kHectopascalsPerKilopascal = 10.0;

void sendError(const FlutterEventSink& sink, const NSErrorPtr& error) {
  std::string message = error->localizedDescription();
  dispatch_async(dispatch_get_main_queue(),
                 [sink, message] { sink(FlutterError::errorWithCode("UNAVAILABLE", message)); });
}

// Appends the timestamp element on the main queue, where the boot-time
// offset is first computed, and sends the payload.
void sendSample(const FlutterEventSink& sink, std::vector<double> values, double timestamp) {
  dispatch_async(dispatch_get_main_queue(), [sink, values = std::move(values), timestamp] {
    std::vector<double> payload = values;
    payload.push_back(timestamp * 1e6 + TQSensorsPlugin::bootTimeOffsetMicros());
    sink(FlutterStandardTypedData::typedDataWithFloat64(std::move(payload)));
  });
}

std::vector<double> scaled(double x, double y, double z, double factor) {
  return {x * factor, y * factor, z * factor};
}

}  // namespace

void TQMotionManagerStreamHandler::setSamplingPeriod(int64_t period) {
  samplingPeriod_ = period;
  setUpdateInterval(*TQSensorsPlugin::ensureMotionManager(), static_cast<double>(period) * 1e-6);
}

FlutterErrorPtr TQMotionManagerStreamHandler::onListenWithArguments(const Value&,
                                                                    FlutterEventSink events) {
  auto manager = TQSensorsPlugin::ensureMotionManager();
  startUpdates(*manager, std::make_shared<NSOperationQueue>(), std::move(events));
  return nullptr;
}

FlutterErrorPtr TQMotionManagerStreamHandler::onCancelWithArguments(const Value&) {
  stopUpdates(*TQSensorsPlugin::ensureMotionManager());
  return nullptr;
}

void TQAccelerometerStreamHandler::setUpdateInterval(CMMotionManager& manager, double seconds) {
  manager.setAccelerometerUpdateInterval(seconds);
}

void TQAccelerometerStreamHandler::startUpdates(CMMotionManager& manager,
                                                const std::shared_ptr<NSOperationQueue>& queue,
                                                FlutterEventSink sink) {
  manager.startAccelerometerUpdatesToQueue(
      queue, [sink](CMAccelerometerDataPtr data, NSErrorPtr error) {
        if (error) return sendError(sink, error);
        if (!data) return;
        auto a = data->acceleration();
        sendSample(sink, scaled(a.x, a.y, a.z, kStandardGravity), data->timestamp());
      });
}

void TQAccelerometerStreamHandler::stopUpdates(CMMotionManager& manager) {
  manager.stopAccelerometerUpdates();
}

void TQUserAccelStreamHandler::setUpdateInterval(CMMotionManager& manager, double seconds) {
  manager.setDeviceMotionUpdateInterval(seconds);
}

void TQUserAccelStreamHandler::startUpdates(CMMotionManager& manager,
                                            const std::shared_ptr<NSOperationQueue>& queue,
                                            FlutterEventSink sink) {
  manager.startDeviceMotionUpdatesToQueue(queue, [sink](CMDeviceMotionPtr data, NSErrorPtr error) {
    if (error) return sendError(sink, error);
    if (!data) return;
    auto a = data->userAcceleration();
    sendSample(sink, scaled(a.x, a.y, a.z, kStandardGravity), data->timestamp());
  });
}

void TQUserAccelStreamHandler::stopUpdates(CMMotionManager& manager) {
  manager.stopDeviceMotionUpdates();
}

void TQGyroscopeStreamHandler::setUpdateInterval(CMMotionManager& manager, double seconds) {
  manager.setGyroUpdateInterval(seconds);
}

void TQGyroscopeStreamHandler::startUpdates(CMMotionManager& manager,
                                            const std::shared_ptr<NSOperationQueue>& queue,
                                            FlutterEventSink sink) {
  manager.startGyroUpdatesToQueue(queue, [sink](CMGyroDataPtr data, NSErrorPtr error) {
    if (error) return sendError(sink, error);
    if (!data) return;
    auto r = data->rotationRate();
    sendSample(sink, {r.x, r.y, r.z}, data->timestamp());
  });
}

void TQGyroscopeStreamHandler::stopUpdates(CMMotionManager& manager) { manager.stopGyroUpdates(); }

void TQMagnetometerStreamHandler::setUpdateInterval(CMMotionManager& manager, double seconds) {
  manager.setMagnetometerUpdateInterval(seconds);
}

void TQMagnetometerStreamHandler::startUpdates(CMMotionManager& manager,
                                               const std::shared_ptr<NSOperationQueue>& queue,
                                               FlutterEventSink sink) {
  manager.startMagnetometerUpdatesToQueue(queue,
                                          [sink](CMMagnetometerDataPtr data, NSErrorPtr error) {
                                            if (error) return sendError(sink, error);
                                            if (!data) return;
                                            auto m = data->magneticField();
                                            sendSample(sink, {m.x, m.y, m.z}, data->timestamp());
                                          });
}

void TQMagnetometerStreamHandler::stopUpdates(CMMotionManager& manager) {
  manager.stopMagnetometerUpdates();
}

void TQBarometerStreamHandler::setSamplingPeriod(int64_t period) {
  samplingPeriod_ = period;
  TQSensorsPlugin::ensureAltimeter();
}

FlutterErrorPtr TQBarometerStreamHandler::onListenWithArguments(const Value&,
                                                                FlutterEventSink events) {
  auto altimeter = TQSensorsPlugin::ensureAltimeter();
  if (!CMAltimeter::isRelativeAltitudeAvailable()) {
    return FlutterError::errorWithCode("UNAVAILABLE", "Barometer is not available on this device");
  }
  altimeter->startRelativeAltitudeUpdatesToQueue(
      std::make_shared<NSOperationQueue>(),
      [sink = std::move(events)](CMAltitudeDataPtr data, NSErrorPtr error) {
        if (error) return sendError(sink, error);
        if (!data) return;
        sendSample(sink, {data->pressure() * kHectopascalsPerKilopascal}, data->timestamp());
      });
  return nullptr;
}

FlutterErrorPtr TQBarometerStreamHandler::onCancelWithArguments(const Value&) {
  TQSensorsPlugin::ensureAltimeter()->stopRelativeAltitudeUpdates();
  return nullptr;
}

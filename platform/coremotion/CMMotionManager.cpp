#include "CMMotionManager.h"

namespace {

constexpr double kDefaultUpdateInterval = 0.01;

std::shared_ptr<CMSensorFeed> makeFeed(CMSensor sensor) {
  return std::make_shared<CMSensorFeed>(sensor, kDefaultUpdateInterval);
}

// Turns a raw reading into the handler's record, or passes its error on.
// The handler is copyable: it runs for every reading.
template <class Record, class Vector, class Handler>
CMSensorFeed::Delivery deliverTo(Handler handler) {
  return [handler = std::move(handler)](const CMSensorReading& r, const CMSensorReading&) {
    if (!handler) return;
    if (r.error) {
      handler(nullptr, r.error);
    } else {
      handler(std::make_shared<Record>(r.timestamp, Vector{r.x, r.y, r.z}), nullptr);
    }
  };
}

}  // namespace

CMMotionManager::CMMotionManager()
    : accelerometer_(makeFeed(CMSensor::Accelerometer)),
      deviceMotion_(makeFeed(CMSensor::DeviceMotion)),
      gyro_(makeFeed(CMSensor::Gyro)),
      magnetometer_(makeFeed(CMSensor::Magnetometer)) {}

CMMotionManager::~CMMotionManager() {
  accelerometer_->stop();
  deviceMotion_->stop();
  gyro_->stop();
  magnetometer_->stop();
}

bool CMMotionManager::isAccelerometerAvailable() const {
  return CMMotionHardware::current()->isAvailable(CMSensor::Accelerometer);
}
bool CMMotionManager::isAccelerometerActive() const { return accelerometer_->isActive(); }
double CMMotionManager::accelerometerUpdateInterval() const { return accelerometer_->interval(); }
void CMMotionManager::setAccelerometerUpdateInterval(double seconds) {
  accelerometer_->setInterval(seconds);
}
void CMMotionManager::startAccelerometerUpdatesToQueue(
    const std::shared_ptr<NSOperationQueue>& queue, CMAccelerometerHandler handler) {
  accelerometer_->start(queue, deliverTo<CMAccelerometerData, CMAcceleration>(std::move(handler)));
}
void CMMotionManager::stopAccelerometerUpdates() { accelerometer_->stop(); }

bool CMMotionManager::isDeviceMotionAvailable() const {
  return CMMotionHardware::current()->isAvailable(CMSensor::DeviceMotion);
}
bool CMMotionManager::isDeviceMotionActive() const { return deviceMotion_->isActive(); }
double CMMotionManager::deviceMotionUpdateInterval() const { return deviceMotion_->interval(); }
void CMMotionManager::setDeviceMotionUpdateInterval(double seconds) {
  deviceMotion_->setInterval(seconds);
}
void CMMotionManager::startDeviceMotionUpdatesToQueue(
    const std::shared_ptr<NSOperationQueue>& queue, CMDeviceMotionHandler handler) {
  deviceMotion_->start(queue, deliverTo<CMDeviceMotion, CMAcceleration>(std::move(handler)));
}
void CMMotionManager::stopDeviceMotionUpdates() { deviceMotion_->stop(); }

bool CMMotionManager::isGyroAvailable() const {
  return CMMotionHardware::current()->isAvailable(CMSensor::Gyro);
}
bool CMMotionManager::isGyroActive() const { return gyro_->isActive(); }
double CMMotionManager::gyroUpdateInterval() const { return gyro_->interval(); }
void CMMotionManager::setGyroUpdateInterval(double seconds) { gyro_->setInterval(seconds); }
void CMMotionManager::startGyroUpdatesToQueue(const std::shared_ptr<NSOperationQueue>& queue,
                                              CMGyroHandler handler) {
  gyro_->start(queue, deliverTo<CMGyroData, CMRotationRate>(std::move(handler)));
}
void CMMotionManager::stopGyroUpdates() { gyro_->stop(); }

bool CMMotionManager::isMagnetometerAvailable() const {
  return CMMotionHardware::current()->isAvailable(CMSensor::Magnetometer);
}
bool CMMotionManager::isMagnetometerActive() const { return magnetometer_->isActive(); }
double CMMotionManager::magnetometerUpdateInterval() const { return magnetometer_->interval(); }
void CMMotionManager::setMagnetometerUpdateInterval(double seconds) {
  magnetometer_->setInterval(seconds);
}
void CMMotionManager::startMagnetometerUpdatesToQueue(
    const std::shared_ptr<NSOperationQueue>& queue, CMMagnetometerHandler handler) {
  magnetometer_->start(queue, deliverTo<CMMagnetometerData, CMMagneticField>(std::move(handler)));
}
void CMMotionManager::stopMagnetometerUpdates() { magnetometer_->stop(); }

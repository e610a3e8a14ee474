#include "CMMotionHardware.h"

#include <utility>
#include <vector>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSOperation.h"

namespace {
// Timestamps a whole interval apart may differ by a rounding error.
constexpr double kIntervalSlack = 1e-9;
}  // namespace

CMMotionHardware& CMMotionHardware::shared() {
  static auto* hardware = new CMMotionHardware();  // readings may arrive during exit
  return *hardware;
}

bool CMMotionHardware::isAvailable(CMSensor sensor) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = available_.find(sensor);
  return it != available_.end() && it->second;
}

void CMMotionHardware::setAvailable(CMSensor sensor, bool available) {
  std::lock_guard<std::mutex> lock(mutex_);
  available_[sensor] = available;
}

void CMMotionHardware::pushSample(CMSensor sensor, double timestamp, double x, double y, double z) {
  CMSensorReading reading;
  reading.timestamp = timestamp;
  reading.x = x;
  reading.y = y;
  reading.z = z;
  push(sensor, reading);
}

void CMMotionHardware::pushPressure(double timestamp, double kilopascals) {
  pushSample(CMSensor::Barometer, timestamp, kilopascals, 0, 0);
}

void CMMotionHardware::pushError(CMSensor sensor, NSErrorPtr error) {
  CMSensorReading reading;
  reading.error = std::move(error);
  push(sensor, reading);
}

uint64_t CMMotionHardware::addListener(CMSensor sensor, Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t token = ++nextToken_;
  listeners_.emplace(token, std::make_pair(sensor, std::move(listener)));
  return token;
}

void CMMotionHardware::removeListener(uint64_t token) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(token);
}

void CMMotionHardware::push(CMSensor sensor, const CMSensorReading& reading) {
  // Called outside the lock: a listener may stop its session meanwhile.
  std::vector<Listener> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [token, entry] : listeners_) {
      if (entry.first == sensor) targets.push_back(entry.second);
    }
  }
  for (const auto& listener : targets) listener(reading);
}

CMSensorFeed::CMSensorFeed(CMSensor sensor, double interval)
    : sensor_(sensor), interval_(interval) {}

CMSensorFeed::~CMSensorFeed() { stop(); }

double CMSensorFeed::interval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interval_;
}

void CMSensorFeed::setInterval(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  interval_ = seconds;
}

bool CMSensorFeed::isActive() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

void CMSensorFeed::start(const std::shared_ptr<NSOperationQueue>& queue, Delivery delivery) {
  NSParameterAssert(queue);
  stop();
  auto& hardware = CMMotionHardware::shared();
  if (!hardware.isAvailable(sensor_)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t session = ++session_;
  active_ = true;
  lastDelivered_.reset();
  first_.reset();
  queue_ = queue;
  delivery_ = std::move(delivery);
  std::weak_ptr<CMSensorFeed> weak = weak_from_this();
  listenerToken_ = hardware.addListener(sensor_, [weak, session](const CMSensorReading& r) {
    if (auto feed = weak.lock()) feed->offer(session, r);
  });
}

void CMSensorFeed::stop() {
  uint64_t token;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!active_) return;
    active_ = false;
    token = listenerToken_;
    queue_.reset();
    delivery_ = nullptr;
  }
  CMMotionHardware::shared().removeListener(token);
}

bool CMSensorFeed::isCurrent(uint64_t session) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_ && session_ == session;
}

void CMSensorFeed::offer(uint64_t session, const CMSensorReading& reading) {
  std::shared_ptr<NSOperationQueue> queue;
  Delivery delivery;
  CMSensorReading first = reading;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!active_ || session != session_) return;
    if (!reading.error) {
      if (lastDelivered_ && interval_ > 0 &&
          reading.timestamp - *lastDelivered_ < interval_ - kIntervalSlack) {
        return;
      }
      lastDelivered_ = reading.timestamp;
      if (!first_) first_ = reading;
    }
    if (first_) first = *first_;
    queue = queue_;
    delivery = delivery_;
  }
  if (!delivery) return;
  auto self = shared_from_this();
  queue->addOperationWithBlock([self, session, reading, first, delivery] {
    if (self->isCurrent(session)) delivery(reading, first);
  });
}

#include "CMMotionHardware.h"

#include <utility>
#include <vector>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/SingletonResets.h"

namespace {
// Timestamps a whole interval apart may differ by a rounding error.
constexpr double kIntervalSlack = 1e-9;
}  // namespace

namespace {

struct Installed {
  Mutex mutex;  // guards `hardware`
  std::shared_ptr<CMMotionHardware> hardware GUARDED_BY(mutex);
};

Installed& installed() {
  static auto* made = [] {
    auto* i = new Installed();  // readings may arrive during exit
    SingletonResets::add([] { CMMotionHardware::setCurrent(nullptr); });
    return i;
  }();
  return *made;
}

}  // namespace

std::shared_ptr<CMMotionHardware> CMMotionHardware::current() {
  Installed& i = installed();
  MutexLock lock(i.mutex);
  if (!i.hardware) i.hardware = std::make_shared<CMAbsentMotionHardware>();
  return i.hardware;
}

void CMMotionHardware::setCurrent(std::shared_ptr<CMMotionHardware> hardware) {
  Installed& i = installed();
  MutexLock lock(i.mutex);
  i.hardware = std::move(hardware);
}

CMSensorFeed::CMSensorFeed(CMSensor sensor, double interval)
    : sensor_(sensor), interval_(interval) {}

CMSensorFeed::~CMSensorFeed() { stop(); }

double CMSensorFeed::interval() const {
  MutexLock lock(mutex_);
  return interval_;
}

void CMSensorFeed::setInterval(double seconds) {
  MutexLock lock(mutex_);
  interval_ = seconds;
}

bool CMSensorFeed::isActive() const {
  MutexLock lock(mutex_);
  return active_;
}

void CMSensorFeed::start(const std::shared_ptr<NSOperationQueue>& queue, Delivery delivery) {
  NSParameterAssert(queue);
  stop();
  auto hardware = CMMotionHardware::current();
  if (!hardware->isAvailable(sensor_)) return;
  MutexLock lock(mutex_);
  uint64_t session = ++session_;
  active_ = true;
  lastDelivered_.reset();
  first_.reset();
  queue_ = queue;
  delivery_ = std::move(delivery);
  std::weak_ptr<CMSensorFeed> weak = weak_from_this();
  listenerToken_ = hardware->addListener(sensor_, [weak, session](const CMSensorReading& r) {
    if (auto feed = weak.lock()) feed->offer(session, r);
  });
  hardware_ = std::move(hardware);
}

void CMSensorFeed::stop() {
  uint64_t token;
  std::shared_ptr<CMMotionHardware> hardware;
  {
    MutexLock lock(mutex_);
    if (!active_) return;
    active_ = false;
    token = listenerToken_;
    hardware = std::move(hardware_);
    queue_.reset();
    delivery_ = nullptr;
  }
  hardware->removeListener(token);
}

bool CMSensorFeed::isCurrent(uint64_t session) const {
  MutexLock lock(mutex_);
  return active_ && session_ == session;
}

void CMSensorFeed::offer(uint64_t session, const CMSensorReading& reading) {
  std::shared_ptr<NSOperationQueue> queue;
  Delivery delivery;
  CMSensorReading first = reading;
  {
    MutexLock lock(mutex_);
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

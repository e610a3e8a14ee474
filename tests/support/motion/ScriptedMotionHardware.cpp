#include "support/motion/ScriptedMotionHardware.h"

#include <memory>
#include <vector>

ScriptedMotionHardware& ScriptedMotionHardware::installed() {
  static auto* scripted =
      new std::shared_ptr<ScriptedMotionHardware>(std::make_shared<ScriptedMotionHardware>());
  if (CMMotionHardware::current() != *scripted) {
    {
      std::lock_guard<std::mutex> lock((*scripted)->mutex_);
      (*scripted)->available_.clear();
    }
    CMMotionHardware::setCurrent(*scripted);
  }
  return **scripted;
}

bool ScriptedMotionHardware::isAvailable(CMSensor sensor) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = available_.find(sensor);
  return it != available_.end() && it->second;
}

void ScriptedMotionHardware::setAvailable(CMSensor sensor, bool available) {
  std::lock_guard<std::mutex> lock(mutex_);
  available_[sensor] = available;
}

void ScriptedMotionHardware::pushSample(CMSensor sensor, double timestamp, double x, double y,
                                        double z) {
  CMSensorReading reading;
  reading.timestamp = timestamp;
  reading.x = x;
  reading.y = y;
  reading.z = z;
  push(sensor, reading);
}

void ScriptedMotionHardware::pushPressure(double timestamp, double kilopascals) {
  pushSample(CMSensor::Barometer, timestamp, kilopascals, 0, 0);
}

void ScriptedMotionHardware::pushError(CMSensor sensor, NSErrorPtr error) {
  CMSensorReading reading;
  reading.error = std::move(error);
  push(sensor, reading);
}

uint64_t ScriptedMotionHardware::addListener(CMSensor sensor, Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t token = ++nextToken_;
  listeners_.emplace(token, std::make_pair(sensor, std::move(listener)));
  return token;
}

void ScriptedMotionHardware::removeListener(uint64_t token) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(token);
}

void ScriptedMotionHardware::push(CMSensor sensor, const CMSensorReading& reading) {
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

#include "platform/foundation/NSProgress.h"

std::shared_ptr<NSProgress> NSProgress::progressWithTotalUnitCount(int64_t total) {
  auto progress = std::make_shared<NSProgress>();
  progress->setTotalUnitCount(total);
  return progress;
}

int64_t NSProgress::totalUnitCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

void NSProgress::setTotalUnitCount(int64_t total) {
  std::lock_guard<std::mutex> lock(mutex_);
  total_ = total;
}

int64_t NSProgress::completedUnitCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return completed_;
}

void NSProgress::setCompletedUnitCount(int64_t completed) {
  std::lock_guard<std::mutex> lock(mutex_);
  completed_ = completed;
}

double NSProgress::fractionCompleted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_ > 0 ? double(completed_) / double(total_) : 0;
}

bool NSProgress::isFinished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_ > 0 && completed_ >= total_;
}

#include "platform/foundation/NSProgress.h"

#include "platform/foundation/Mutex.h"

std::shared_ptr<NSProgress> NSProgress::progressWithTotalUnitCount(int64_t total) {
  auto progress = std::make_shared<NSProgress>();
  progress->setTotalUnitCount(total);
  return progress;
}

int64_t NSProgress::totalUnitCount() const {
  MutexLock lock(mutex_);
  return total_;
}

void NSProgress::setTotalUnitCount(int64_t total) {
  MutexLock lock(mutex_);
  total_ = total;
}

int64_t NSProgress::completedUnitCount() const {
  MutexLock lock(mutex_);
  return completed_;
}

void NSProgress::setCompletedUnitCount(int64_t completed) {
  MutexLock lock(mutex_);
  completed_ = completed;
}

double NSProgress::fractionCompleted() const {
  MutexLock lock(mutex_);
  return total_ > 0 ? double(completed_) / double(total_) : 0;
}

bool NSProgress::isFinished() const {
  MutexLock lock(mutex_);
  return total_ > 0 && completed_ >= total_;
}

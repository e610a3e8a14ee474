#pragma once

// How far a task has come, in units of work. Any thread may read and set it:
// a loader reports from its own threads while views read on the main one.

#include <cstdint>
#include <memory>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"

class NSProgress : public NSObject {
 public:
  NSProgress() = default;
  static std::shared_ptr<NSProgress> progressWithTotalUnitCount(int64_t total);

  int64_t totalUnitCount() const;
  void setTotalUnitCount(int64_t total);
  int64_t completedUnitCount() const;
  void setCompletedUnitCount(int64_t completed);
  // Completed over total; 0 while the total is unknown (0 or less).
  double fractionCompleted() const;
  // A known total that the completed count has reached.
  bool isFinished() const;

  std::string className() const override { return "NSProgress"; }

 private:
  mutable Mutex mutex_;
  int64_t total_ GUARDED_BY(mutex_) = 0;
  int64_t completed_ GUARDED_BY(mutex_) = 0;
};

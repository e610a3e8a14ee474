#include "platform/network/internal/NSURLSessionEngine.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Mutex.h"

using url_session::cancelledError;

NSURLSessionDataTask::NSURLSessionDataTask(std::shared_ptr<NSURLSessionEngine> engine,
                                           uint64_t identifier, NSURLRequestPtr request,
                                           NSURLSessionDataCompletion completion)
    : engine_(std::move(engine)),
      identifier_(identifier),
      request_(std::move(request)),
      currentRequest_(request_),
      load_(std::make_unique<NSURLSessionTaskLoad>()),
      completion_(std::move(completion)) {}

NSURLSessionDataTask::~NSURLSessionDataTask() = default;

NSURLSessionTaskState NSURLSessionDataTask::state() const {
  MutexLock lock(mutex_);
  return state_;
}

NSURLRequestPtr NSURLSessionDataTask::currentRequest() const {
  MutexLock lock(mutex_);
  return currentRequest_;
}

int64_t NSURLSessionDataTask::countOfBytesExpectedToReceive() const {
  MutexLock lock(mutex_);
  return response_ ? response_->expectedContentLength() : -1;
}

NSHTTPURLResponsePtr NSURLSessionDataTask::response() const {
  MutexLock lock(mutex_);
  return response_;
}

NSErrorPtr NSURLSessionDataTask::error() const {
  MutexLock lock(mutex_);
  return error_;
}

int64_t NSURLSessionDataTask::countOfBytesReceived() const {
  MutexLock lock(mutex_);
  return received_;
}

float NSURLSessionDataTask::priority() const {
  MutexLock lock(mutex_);
  return priority_;
}

void NSURLSessionDataTask::setPriority(float priority) {
  {
    MutexLock lock(mutex_);
    priority_ = std::isnan(priority) ? NSURLSessionTaskPriorityDefault : std::clamp(priority, 0.0f, 1.0f);
    if (state_ != NSURLSessionTaskState::Running) return;
  }
  auto self = shared_from_this();
  engine_->post([self] { self->engine_->applyPriority(self); });
}

void NSURLSessionDataTask::resume() {
  {
    MutexLock lock(mutex_);
    if (state_ != NSURLSessionTaskState::Suspended) return;
    state_ = NSURLSessionTaskState::Running;
  }
  auto self = shared_from_this();
  if (!engine_->post([self] { self->engine_->add(self); }, true)) {
    // The session thread never saw this task, so it can end here and now.
    engine_->finish(self, cancelledError(*self));
  }
}

void NSURLSessionDataTask::cancel() {
  {
    MutexLock lock(mutex_);
    if (state_ == NSURLSessionTaskState::Completed || state_ == NSURLSessionTaskState::Canceling) return;
    state_ = NSURLSessionTaskState::Canceling;
  }
  auto self = shared_from_this();
  if (!engine_->post([self] { self->engine_->finish(self, cancelledError(*self)); })) {
    engine_->finishWhenStopped(self);
  }
}

#include "support/photos/ScriptedMediaProvider.h"

#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

#include <algorithm>

namespace {

Value cancelledInfo(PHImageRequestID requestID) {
  return Value(ValueMap{{Value(PHImageResultRequestIDKey), Value(requestID)},
                        {Value(PHImageCancelledKey), Value(true)}});
}

}  // namespace

void ScriptedMediaProvider::queueAnswer(ScriptedAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.push_back(std::move(answer));
}

void ScriptedMediaProvider::setDefaultAnswer(ScriptedAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(answer);
}

ScriptedAnswer ScriptedMediaProvider::next() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queued_.empty()) return default_;
  ScriptedAnswer answer = std::move(queued_.front());
  queued_.erase(queued_.begin());
  return answer;
}

Value ScriptedMediaProvider::infoFor(PHImageRequestID requestID, bool degraded, bool inCloud) {
  return Value(ValueMap{{Value(PHImageResultRequestIDKey), Value(requestID)},
                        {Value(PHImageResultIsInCloudKey), Value(inCloud)},
                        {Value(PHImageResultIsDegradedKey), Value(degraded)}});
}

void ScriptedMediaProvider::run(const ScriptedAnswer& answer, PHImageRequestID id, bool networkAllowed,
                                const PHAssetImageProgressHandler& progress,
                                std::shared_ptr<Delivery> deliver) {
  auto work = [answer, id, networkAllowed, progress, deliver] {
    for (double p : answer.progress) {
      bool stop = false;
      if (progress) progress(p, nullptr, &stop, Value());
    }
    switch (answer.result) {
      case ScriptedAnswer::Result::DegradedThenFinal:
        (*deliver)(answer, infoFor(id, true), true);
        (*deliver)(answer, infoFor(id, false), false);
        break;
      case ScriptedAnswer::Result::InCloudAlways:
      case ScriptedAnswer::Result::InCloudWithoutNetwork:
        if (networkAllowed && answer.result == ScriptedAnswer::Result::InCloudWithoutNetwork) {
          (*deliver)(answer, infoFor(id, false), false);
        } else {
          ScriptedAnswer none = answer;
          none.image = nullptr;
          none.data = nullptr;
          none.avAsset = nullptr;
          (*deliver)(none, infoFor(id, false, true), false);
        }
        break;
      case ScriptedAnswer::Result::Error: {
        ScriptedAnswer none;
        ValueMap info = infoFor(id, false).asMap();
        info.emplace_back(Value(PHImageErrorKey), Value(std::static_pointer_cast<NSObject>(answer.error)));
        (*deliver)(none, Value(std::move(info)), false);
        break;
      }
      default:
        (*deliver)(answer, infoFor(id, false), false);
    }
  };
  if (answer.result == ScriptedAnswer::Result::Never) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // The call is on record (and may be cancelled by a waiting test)
      // before it is held: a cancel that came first answers it at once.
      if (std::find(cancelled_.begin(), cancelled_.end(), id) == cancelled_.end()) {
        held_.emplace_back(id, deliver);
        return;
      }
    }
    (*deliver)(ScriptedAnswer(), cancelledInfo(id), false);
    return;
  }
  switch (answer.thread) {
    case ScriptedAnswer::Thread::Caller:
      work();
      break;
    case ScriptedAnswer::Thread::Background:
      dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), work);
      break;
    case ScriptedAnswer::Thread::Main:
      dispatch_async(dispatch_get_main_queue(), work);
      break;
  }
}

void ScriptedMediaProvider::requestImage(const PHImageRequest& request, PHImageResultHandler handler) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({Kind::Image, request.requestID, request.asset, request.targetSize,
                      request.contentMode, request.options, nullptr});
  }
  dispatch_semaphore_signal(called_);
  auto deliver = std::make_shared<Delivery>(
      [handler](const ScriptedAnswer& a, const Value& info, bool degraded) {
        handler(degraded && a.degradedImage ? a.degradedImage : a.image, info);
      });
  run(next(), request.requestID, request.options->networkAccessAllowed,
      request.options->progressHandler, deliver);
}

void ScriptedMediaProvider::requestImageData(const PHImageRequest& request,
                                             PHImageDataResultHandler handler) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({Kind::Data, request.requestID, request.asset, request.targetSize,
                      request.contentMode, request.options, nullptr});
  }
  dispatch_semaphore_signal(called_);
  auto once = std::make_shared<PHImageDataResultHandler>(std::move(handler));
  auto deliver = std::make_shared<Delivery>([once](const ScriptedAnswer& a, const Value& info, bool degraded) {
    if (!degraded) (*once)(a.data, a.data ? a.dataUTI : "", UIImageOrientationUp, info);
  });
  run(next(), request.requestID, request.options->networkAccessAllowed,
      request.options->progressHandler, deliver);
}

void ScriptedMediaProvider::requestAVAsset(const PHVideoRequest& request, PHVideoResultHandler handler) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({Kind::Video, request.requestID, request.asset, CGSize{0, 0},
                      PHImageContentModeDefault, nullptr, request.options});
  }
  dispatch_semaphore_signal(called_);
  auto once = std::make_shared<PHVideoResultHandler>(std::move(handler));
  auto deliver = std::make_shared<Delivery>([once](const ScriptedAnswer& a, const Value& info, bool degraded) {
    if (!degraded) (*once)(a.avAsset, info);
  });
  run(next(), request.requestID, request.options->networkAccessAllowed,
      request.options->progressHandler, deliver);
}

void ScriptedMediaProvider::cancelRequest(PHImageRequestID requestID) {
  std::shared_ptr<Delivery> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_.push_back(requestID);
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (it->first == requestID) {
        held = it->second;
        held_.erase(it);
        break;
      }
    }
  }
  if (held) {
    (*held)(ScriptedAnswer(), cancelledInfo(requestID), false);
  }
}

void ScriptedMediaProvider::startCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                                         PHImageContentMode contentMode, const PHImageRequestOptionsPtr&) {
  std::lock_guard<std::mutex> lock(mutex_);
  caching_.push_back({true, assets.size(), targetSize, contentMode});
}

void ScriptedMediaProvider::stopCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                                        PHImageContentMode contentMode, const PHImageRequestOptionsPtr&) {
  std::lock_guard<std::mutex> lock(mutex_);
  caching_.push_back({false, assets.size(), targetSize, contentMode});
}

void ScriptedMediaProvider::stopCachingAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stopAll_;
}

std::vector<ScriptedMediaProvider::Call> ScriptedMediaProvider::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<PHImageRequestID> ScriptedMediaProvider::cancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

std::vector<ScriptedMediaProvider::CachingCall> ScriptedMediaProvider::cachingCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return caching_;
}

size_t ScriptedMediaProvider::stopAllCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopAll_;
}

bool ScriptedMediaProvider::waitForCalls(size_t count) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (calls_.size() >= count) return true;
    }
    if (dispatch_semaphore_wait(called_, dispatch_time_after(kTestTimeoutSeconds)) != 0) return false;
  }
}

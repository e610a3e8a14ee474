#include "support/photos/ScriptedPlayback.h"

#include <chrono>

// Counts itself among the live pictures.
class ScriptedPlaybackProvider::Picture : public AVVideoPicture {
 public:
  Picture(AVVideoPicturePtr inner, std::shared_ptr<std::atomic<int>> live, std::shared_ptr<std::atomic<int>> most)
      : inner_(std::move(inner)), live_(std::move(live)) {
    int now = ++*live_;
    int seen = most->load();
    while (now > seen && !most->compare_exchange_weak(seen, now)) {
    }
  }
  ~Picture() override { --*live_; }
  double time() const override { return inner_->time(); }
  CGImageRef image() override { return inner_->image(); }

 private:
  AVVideoPicturePtr inner_;
  std::shared_ptr<std::atomic<int>> live_;
};

class ScriptedPlaybackProvider::Reader : public AVVideoReader {
 public:
  Reader(ScriptedPlaybackProvider& owner, std::unique_ptr<AVVideoReader> inner, const std::atomic<bool>& cancelled)
      : owner_(owner), inner_(std::move(inner)), cancelled_(cancelled) {}
  CGSize pictureSize() const override { return inner_->pictureSize(); }
  bool seekToKeyFrameBefore(double seconds, NSErrorPtr* error) override {
    return inner_->seekToKeyFrameBefore(seconds, error);
  }
  AVVideoPicturePtr nextPicture(NSErrorPtr* error) override {
    if (!owner_.passGate(false, cancelled_)) return nullptr;
    auto picture = inner_->nextPicture(error);
    if (!picture) return nullptr;
    return std::make_shared<Picture>(picture, owner_.live_, owner_.most_);
  }

 private:
  ScriptedPlaybackProvider& owner_;
  std::unique_ptr<AVVideoReader> inner_;
  const std::atomic<bool>& cancelled_;
};

bool ScriptedPlaybackProvider::passGate(bool loading, const std::atomic<bool>& cancelled) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto held = [&] {
    if (loading) return holdLoading_;
    return picturesLeft_ && *picturesLeft_ <= 0;
  };
  ++waiting_;
  while (held() && !cancelled) {
    // The cancel flag has no way to wake us; look at it now and then.
    changed_.wait_for(lock, std::chrono::milliseconds(5));
  }
  --waiting_;
  if (!loading && picturesLeft_) --*picturesLeft_;
  return !cancelled;
}

AVAssetDescription ScriptedPlaybackProvider::describeAsset(const NSURLPtr& url,
                                                           const std::atomic<bool>& cancelled) {
  if (!passGate(true, cancelled)) return {};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loadError_) {
      AVAssetDescription failed;
      failed.error = loadError_;
      return failed;
    }
  }
  return real_.describeAsset(url, cancelled);
}

std::unique_ptr<AVVideoReader> ScriptedPlaybackProvider::openVideo(const NSURLPtr& url,
                                                                   const std::atomic<bool>& cancelled,
                                                                   NSErrorPtr* error) {
  auto inner = real_.openVideo(url, cancelled, error);
  if (!inner) return nullptr;
  return std::make_unique<Reader>(*this, std::move(inner), cancelled);
}

void ScriptedPlaybackProvider::holdLoading() {
  std::lock_guard<std::mutex> lock(mutex_);
  holdLoading_ = true;
}

void ScriptedPlaybackProvider::holdPicturesAfter(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  picturesLeft_ = count;
}

void ScriptedPlaybackProvider::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  holdLoading_ = false;
  picturesLeft_.reset();
  changed_.notify_all();
}

void ScriptedPlaybackProvider::releaseLoading() {
  std::lock_guard<std::mutex> lock(mutex_);
  holdLoading_ = false;
  changed_.notify_all();
}

void ScriptedPlaybackProvider::failLoadingWith(NSErrorPtr error) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadError_ = std::move(error);
}

int ScriptedPlaybackProvider::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

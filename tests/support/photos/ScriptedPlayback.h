#pragma once
// A playback provider for tests: it reads real files through the default
// provider and lets a test hold asset loading or picture decoding at a gate
// (a slow disk, a stalled network), replace either with an error, and count
// the decoded pictures alive at once. Install it with
// AVPlaybackProvider::setShared(); the test environment puts the default back.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "platform/avfoundation/AVLibavPlaybackProvider.h"

class ScriptedPlaybackProvider : public AVPlaybackProvider {
 public:
  AVAssetDescription describeAsset(const NSURLPtr& url, const std::atomic<bool>& cancelled) override;
  std::unique_ptr<AVVideoReader> openVideo(const NSURLPtr& url, const std::atomic<bool>& cancelled,
                                           NSErrorPtr* error) override;

  // Asset loading waits at the gate until released (or cancelled).
  void holdLoading();
  // Decoding hands out `count` more pictures, then waits until released.
  void holdPicturesAfter(int count);
  void release();
  void releaseLoading();
  // Loading answers this error instead of reading the file.
  void failLoadingWith(NSErrorPtr error);

  // How many calls are waiting at the gate now.
  int waiting() const;
  int livePictures() const { return live_->load(); }
  int mostLivePictures() const { return most_->load(); }

 private:
  class Reader;
  class Picture;
  // Waits while held; false when cancelled meanwhile.
  bool passGate(bool loading, const std::atomic<bool>& cancelled);

  AVLibavPlaybackProvider real_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool holdLoading_ = false;
  std::optional<int> picturesLeft_;
  int waiting_ = 0;
  NSErrorPtr loadError_;
  std::shared_ptr<std::atomic<int>> live_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::atomic<int>> most_ = std::make_shared<std::atomic<int>>(0);
};

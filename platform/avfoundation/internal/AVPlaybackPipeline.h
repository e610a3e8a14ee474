#pragma once
// The decoding side of a player item: a serial queue of its own opens the
// item's video and decodes pictures ahead of the time the player is at, a
// few at most, so memory stays bounded whatever the video's length. The
// player moves the target time; a seek starts again from the key frame
// before its time. Pictures that are passed over on the way to the target
// are never converted to bitmaps.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "platform/avfoundation/AVPlaybackProvider.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"

class AVPlaybackPipeline : public std::enable_shared_from_this<AVPlaybackPipeline> {
 public:
  // Pictures decoded beyond the one shown at the target time.
  static constexpr size_t kPicturesAhead = 3;

  struct Events {
    // Once, when the video has opened (error null; `hasVideo` false for a
    // resource without video) or failed.
    OnceCallback<void(NSErrorPtr error, bool hasVideo, CGSize size)> opened;
    // The picture for the target time is there (true) or being waited for
    // (false): after opening, and around each seek.
    std::function<void(bool filled)> buffer;
  };

  AVPlaybackPipeline(NSURLPtr url, std::shared_ptr<AVPlaybackProvider> provider);
  ~AVPlaybackPipeline();

  // Events arrive on the main queue until stop().
  void start(Events events);
  // No further events; decoding ends at the next picture.
  void stop();

  // Decodes from the key frame before `seconds` up to it; `done(true)` on
  // the main queue once its picture is there, `done(false)` when another
  // seek or stop() comes first.
  void seek(double seconds, OnceCallback<void(bool finished)> done);
  // The picture shown at `seconds` (the last one at or before it), waiting
  // up to `waitSeconds` of real time for decoding to reach it. Time only
  // moves forward between seeks: earlier pictures are gone.
  CGImageRef pictureAt(double seconds, double waitSeconds);
  // Pictures held now (for tests of the bound).
  size_t heldPictures() const;

 private:
  void schedulePumpLocked() REQUIRES(mutex_);
  void pump();
  bool readyLocked() const REQUIRES(mutex_);
  void pruneLocked() REQUIRES(mutex_);
  void post(dispatch_block_t block) REQUIRES(mutex_);
  void finishSeekLocked(bool finished) REQUIRES(mutex_);
  void setFilledLocked(bool filled) REQUIRES(mutex_);
  size_t aheadLocked() const REQUIRES(mutex_);
  bool endedOrFull();

  const NSURLPtr url_;
  const std::shared_ptr<AVPlaybackProvider> provider_;
  dispatch_queue_t queue_;
  // Read by the reader's blocking calls; declared before the reader so it
  // outlives it.
  std::atomic<bool> cancelled_{false};
  std::unique_ptr<AVVideoReader> reader_;  // touched on queue_ only

  mutable Mutex mutex_;
  std::condition_variable changed_;
  Events events_ GUARDED_BY(mutex_);
  bool opened_ GUARDED_BY(mutex_) = false;
  bool hasVideo_ GUARDED_BY(mutex_) = false;
  bool stopped_ GUARDED_BY(mutex_) = false;
  bool pumping_ GUARDED_BY(mutex_) = false;
  bool ended_ GUARDED_BY(mutex_) = false;
  bool filled_ GUARDED_BY(mutex_) = false;
  bool failed_ GUARDED_BY(mutex_) = false;
  // The reader is moving to a seek's key frame.
  bool seeking_ GUARDED_BY(mutex_) = false;
  double target_ GUARDED_BY(mutex_) = 0;
  std::optional<double> pendingSeek_ GUARDED_BY(mutex_);
  OnceCallback<void(bool)> seekDone_ GUARDED_BY(mutex_);
  std::deque<AVVideoPicturePtr> pictures_ GUARDED_BY(mutex_);
};

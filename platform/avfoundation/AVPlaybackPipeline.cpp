#include "platform/avfoundation/internal/AVPlaybackPipeline.h"

#include <chrono>

#include "platform/foundation/Mutex.h"

namespace {
// Picture times and player times come from different roundings of one
// instant; within this they are the same.
constexpr double kSameTime = 1e-6;
}  // namespace

AVPlaybackPipeline::AVPlaybackPipeline(NSURLPtr url, std::shared_ptr<AVPlaybackProvider> provider)
    : url_(std::move(url)),
      provider_(std::move(provider)),
      queue_(dispatch_queue_create("AVPlayerItem.decode", DispatchQueueAttr::Serial)) {}

AVPlaybackPipeline::~AVPlaybackPipeline() { cancelled_ = true; }

void AVPlaybackPipeline::post(dispatch_block_t block) {
  if (stopped_) return;
  std::weak_ptr<AVPlaybackPipeline> weak = weak_from_this();
  dispatch_async(dispatch_get_main_queue(), [weak, block = std::move(block)] {
    auto self = weak.lock();
    if (!self) return;
    {
      MutexLock lock(self->mutex_);
      if (self->stopped_) return;
    }
    block();
  });
}

void AVPlaybackPipeline::start(Events events) {
  {
    MutexLock lock(mutex_);
    events_ = std::move(events);
  }
  auto self = shared_from_this();
  dispatch_async(queue_, [self] {
    NSErrorPtr error;
    auto reader = self->cancelled_ ? nullptr : self->provider_->openVideo(self->url_, self->cancelled_, &error);
    CGSize size = reader ? reader->pictureSize() : CGSizeZero;
    self->reader_ = std::move(reader);
    MutexLock lock(self->mutex_);
    if (self->stopped_) return;
    self->opened_ = true;
    self->hasVideo_ = self->reader_ != nullptr;
    if (error) {
      self->failed_ = true;
      self->finishSeekLocked(false);
    }
    bool hasVideo = self->hasVideo_;
    self->post([opened = std::move(self->events_.opened), error, hasVideo, size]() mutable {
      opened(error, hasVideo, size);
    });
    if (error) return;
    if (!self->hasVideo_) {
      // Nothing to decode: the buffer is as full as it gets.
      self->pendingSeek_.reset();
      self->setFilledLocked(true);
      self->finishSeekLocked(true);
      return;
    }
    self->schedulePumpLocked();
  });
}

void AVPlaybackPipeline::stop() {
  MutexLock lock(mutex_);
  if (stopped_) return;
  finishSeekLocked(false);
  stopped_ = true;
  cancelled_ = true;
  pictures_.clear();
  events_ = Events();
  changed_.notify_all();
}

void AVPlaybackPipeline::finishSeekLocked(bool finished) {
  if (!seekDone_) return;
  // A completion runs even once the item is stopped: a seek always hears how it ended.
  dispatch_async(dispatch_get_main_queue(),
                 [done = std::move(seekDone_), finished]() mutable { done(finished); });
  seekDone_ = nullptr;
}

void AVPlaybackPipeline::setFilledLocked(bool filled) {
  if (filled_ == filled) return;
  filled_ = filled;
  if (auto buffer = events_.buffer) post([buffer, filled] { buffer(filled); });
}

void AVPlaybackPipeline::seek(double seconds, OnceCallback<void(bool finished)> done) {
  MutexLock lock(mutex_);
  finishSeekLocked(false);
  seekDone_ = std::move(done);
  if (stopped_ || failed_) {
    finishSeekLocked(false);
    return;
  }
  target_ = seconds;
  pictures_.clear();
  ended_ = false;
  if (opened_ && !hasVideo_) {
    finishSeekLocked(true);
    return;
  }
  pendingSeek_ = seconds;
  setFilledLocked(false);
  schedulePumpLocked();
  changed_.notify_all();
}

void AVPlaybackPipeline::schedulePumpLocked() {
  if (pumping_ || !opened_ || !hasVideo_ || stopped_) return;
  pumping_ = true;
  auto self = shared_from_this();
  dispatch_async(queue_, [self] { self->pump(); });
}

bool AVPlaybackPipeline::readyLocked() const {
  if (!opened_ || pendingSeek_) return false;
  if (!hasVideo_ || ended_) return true;
  return !pictures_.empty() && pictures_.back()->time() > target_ + kSameTime;
}

void AVPlaybackPipeline::pruneLocked() {
  while (pictures_.size() >= 2 && pictures_[1]->time() <= target_ + kSameTime) pictures_.pop_front();
}

size_t AVPlaybackPipeline::aheadLocked() const {
  size_t ahead = 0;
  for (auto& p : pictures_) ahead += p->time() > target_ + kSameTime ? 1 : 0;
  return ahead;
}

void AVPlaybackPipeline::pump() {
  for (;;) {
    std::optional<double> seekTo;
    std::vector<AVVideoPicturePtr> toConvert;
    {
      MutexLock lock(mutex_);
      if (stopped_) {
        pumping_ = false;
        return;
      }
      if (pendingSeek_) {
        seekTo = pendingSeek_;
        pendingSeek_.reset();
        // Until the key frame's pictures reach the target, nothing is ready.
        seeking_ = true;
      } else {
        pruneLocked();
        if (ended_ || aheadLocked() >= kPicturesAhead) {
          toConvert.assign(pictures_.begin(), pictures_.end());
        }
      }
    }
    if (!toConvert.empty() || (!seekTo && endedOrFull())) {
      // Everything held will be shown: convert it here rather than on the
      // thread that draws.
      for (auto& p : toConvert) p->image();
      MutexLock lock(mutex_);
      if (!stopped_ && (pendingSeek_ || (!ended_ && aheadLocked() < kPicturesAhead))) continue;
      pumping_ = false;
      return;
    }
    NSErrorPtr error;
    if (seekTo) {
      reader_->seekToKeyFrameBefore(*seekTo, &error);
      MutexLock lock(mutex_);
      seeking_ = false;
      continue;
    }
    AVVideoPicturePtr picture = reader_->nextPicture(&error);
    AVVideoPicturePtr passed;
    {
      MutexLock lock(mutex_);
      if (stopped_ || pendingSeek_) continue;
      if (!picture) {
        // The end of the data, or a failure part-way: what was decoded stays
        // on screen, as players do with damaged media.
        ended_ = true;
      } else {
        pictures_.push_back(picture);
        pruneLocked();
        if (pictures_.size() >= 2) passed = pictures_[pictures_.size() - 2];
      }
      if (readyLocked()) {
        // The item hears its buffer is full before the seek's completion
        // runs, so time moves on from the completion.
        setFilledLocked(true);
        finishSeekLocked(true);
      }
      changed_.notify_all();
    }
    // The one before the newest survived pruning: it will be shown.
    if (passed) passed->image();
  }
}

bool AVPlaybackPipeline::endedOrFull() {
  MutexLock lock(mutex_);
  return ended_ || aheadLocked() >= kPicturesAhead;
}

CGImageRef AVPlaybackPipeline::pictureAt(double seconds, double waitSeconds) {
  AVVideoPicturePtr shown;
  {
    MutexLock lock(mutex_);
    if (!pendingSeek_ && !seeking_ && seconds > target_) {
      target_ = seconds;
      pruneLocked();
      if (!ended_ && aheadLocked() < kPicturesAhead) schedulePumpLocked();
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
    lock.waitUntil(changed_, deadline, [&]() REQUIRES(mutex_) {
      return stopped_ || failed_ || (readyLocked() && !seeking_);
    });
    for (auto& p : pictures_) {
      if (p->time() <= target_ + kSameTime || !shown) shown = p;
      if (p->time() > target_ + kSameTime) break;
    }
  }
  return shown ? shown->image() : nullptr;
}

size_t AVPlaybackPipeline::heldPictures() const {
  MutexLock lock(mutex_);
  return pictures_.size();
}

#include "platform/avfoundation/AVPlayer.h"

#include <cmath>

#include "platform/avfoundation/AVError.h"
#include "platform/avfoundation/internal/AVPlaybackPipeline.h"
#include "platform/avfoundation/AVUtilities.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/Value.h"
#include "platform/quartzcore/CALayerRendering.h"

const char* const AVPlayerItemDidPlayToEndTimeNotification = "AVPlayerItemDidPlayToEndTimeNotification";
const char* const AVLayerVideoGravityResizeAspect = "AVLayerVideoGravityResizeAspect";
const char* const AVLayerVideoGravityResizeAspectFill = "AVLayerVideoGravityResizeAspectFill";
const char* const AVLayerVideoGravityResize = "AVLayerVideoGravityResize";

namespace {
// Times the player reports are in this timescale, exact for the usual frame rates.
constexpr CMTimeScale kPlayerTimescale = 600;
}  // namespace

void KVOStore(Value& out, const AVPlayerItemPtr& item) { out = item ? Value(std::static_pointer_cast<NSObject>(item)) : Value(); }

// ---------------------------------------------------------------- item

AVPlayerItem::AVPlayerItem(AVAssetPtr asset) : asset_(std::move(asset)) {}

AVPlayerItem::~AVPlayerItem() {
  if (pipeline_) pipeline_->stop();
}

std::shared_ptr<AVPlayerItem> AVPlayerItem::playerItemWithAsset(AVAssetPtr asset) {
  if (!asset) return nullptr;
  return std::make_shared<AVPlayerItem>(std::move(asset));
}

std::shared_ptr<AVPlayerItem> AVPlayerItem::playerItemWithURL(NSURLPtr url) {
  return playerItemWithAsset(AVURLAsset::URLAssetWithURL(std::move(url)));
}

CMTime AVPlayerItem::currentTime() const {
  auto player = player_.lock();
  return player && player->currentItem().get() == this ? player->currentTime() : kCMTimeZero;
}

void AVPlayerItem::attach(const std::shared_ptr<AVPlayer>& player) {
  player_ = player;
  if (started_) return;
  started_ = true;
  auto urlAsset = std::dynamic_pointer_cast<AVURLAsset>(asset_);
  if (!urlAsset) {
    fail(AVMakeError(AVErrorFileFormatNotRecognized, "Cannot Open",
                     "Only assets over a file or URL play on this system."));
    return;
  }
  std::weak_ptr<AVPlayerItem> weak = std::static_pointer_cast<AVPlayerItem>(shared_from_this());
  // The asset's keys and the video's decoder load side by side; the item is
  // ready once both are.
  urlAsset->loadValuesAsynchronouslyForKeys({"duration", "tracks", "playable"}, [weak] {
    dispatch_async(dispatch_get_main_queue(), [weak] {
      if (auto self = weak.lock()) self->assetLoaded();
    });
  });
  pipeline_ = std::make_shared<AVPlaybackPipeline>(urlAsset->URL(), AVPlaybackProvider::shared());
  AVPlaybackPipeline::Events events;
  events.opened = [weak](NSErrorPtr error, bool hasVideo, CGSize size) {
    if (auto self = weak.lock()) self->pipelineOpened(std::move(error), hasVideo, size);
  };
  events.buffer = [weak](bool filled) {
    if (auto self = weak.lock()) self->bufferChanged(filled);
  };
  pipeline_->start(std::move(events));
}

void AVPlayerItem::detach() { player_.reset(); }

void AVPlayerItem::assetLoaded() {
  if (status_ != AVPlayerItemStatusUnknown) return;
  NSErrorPtr error;
  AVKeyValueStatus loaded = asset_->statusOfValueForKey("duration", &error);
  if (loaded == AVKeyValueStatusFailed) {
    fail(error ? error : AVMakeError(AVErrorUnknown, "Cannot Open"));
    return;
  }
  if (loaded != AVKeyValueStatusLoaded) return;  // cancelled: the item waits
  auto urlAsset = std::static_pointer_cast<AVURLAsset>(asset_);
  duration_.set(urlAsset->loadedDuration());
  assetReady_ = true;
  if (opened_) becomeReady();
}

void AVPlayerItem::pipelineOpened(NSErrorPtr error, bool hasVideo, CGSize size) {
  if (status_ != AVPlayerItemStatusUnknown) return;
  if (error) {
    fail(std::move(error));
    return;
  }
  (void)hasVideo;
  presentationSize_ = size;
  opened_ = true;
  // The asset's completion may still be on its way to the main queue.
  if (assetReady_) becomeReady();
}

void AVPlayerItem::becomeReady() {
  status_.set(AVPlayerItemStatusReadyToPlay);
  if (filled_) bufferChanged(true);
  if (auto player = player_.lock()) player->itemStateChanged();
}

void AVPlayerItem::bufferChanged(bool filled) {
  filled_ = filled;
  if (status_ != AVPlayerItemStatusReadyToPlay) return;
  if (bufferFull_ == filled && bufferEmpty_ == !filled) return;
  bufferEmpty_.set(!filled);
  likelyToKeepUp_.set(filled);
  bufferFull_.set(filled);
  if (auto player = player_.lock()) player->itemStateChanged();
}

void AVPlayerItem::fail(NSErrorPtr error) {
  if (status_ == AVPlayerItemStatusFailed) return;
  error_ = std::move(error);
  if (pipeline_) pipeline_->stop();
  status_.set(AVPlayerItemStatusFailed);
  if (auto player = player_.lock()) player->itemStateChanged();
}

// ---------------------------------------------------------------- player

struct AVPlayer::TimeObserver : public NSObject {
  double interval = 1;
  dispatch_queue_t queue;
  std::function<void(CMTime)> block;
  uint64_t clockToken = 0;
  std::string className() const override { return "AVPeriodicTimebaseObserver"; }
};

AVPlayer::AVPlayer() = default;

AVPlayer::~AVPlayer() {
  cancelSchedule();
  for (auto& o : observers_) o->block = nullptr;
  if (auto item = currentItem_.get()) item->detach();
}

std::shared_ptr<AVPlayer> AVPlayer::player() { return std::make_shared<AVPlayer>(); }

std::shared_ptr<AVPlayer> AVPlayer::playerWithPlayerItem(AVPlayerItemPtr item) {
  auto player = std::make_shared<AVPlayer>();
  player->replaceCurrentItemWithPlayerItem(std::move(item));
  return player;
}

std::shared_ptr<AVPlayer> AVPlayer::playerWithURL(NSURLPtr url) {
  return playerWithPlayerItem(AVPlayerItem::playerItemWithURL(std::move(url)));
}

double AVPlayer::durationSeconds() const {
  auto item = currentItem_.get();
  if (!item || !CMTIME_IS_NUMERIC(item->duration())) return INFINITY;
  return CMTimeGetSeconds(item->duration());
}

double AVPlayer::seconds() const {
  if (!currentItem_.get()) return 0;
  double t = anchorTime_;
  if (running_) t += (PlatformClock::now() - anchorClock_) * anchorRate_;
  return std::max(0.0, std::min(t, durationSeconds()));
}

CMTime AVPlayer::currentTime() const {
  if (!currentItem_.get()) return kCMTimeZero;
  return CMTimeMakeWithSeconds(seconds(), kPlayerTimescale);
}

bool AVPlayer::shouldRun() const {
  auto item = currentItem_.get();
  return rate_ != 0 && item && item->status() == AVPlayerItemStatusReadyToPlay &&
         item->isPlaybackBufferFull() && !seeking_;
}

void AVPlayer::refresh() {
  bool was = running_;
  anchorTime_ = seconds();
  anchorClock_ = PlatformClock::now();
  anchorRate_ = rate_;
  running_ = shouldRun();
  reschedule();
  if (was != running_) notifyObservers();
}

void AVPlayer::itemStateChanged() { refresh(); }

void AVPlayer::setRate(float rate) {
  QX_DCHECK_MAIN_THREAD();
  if (!std::isfinite(rate)) return;
  rate_.set(rate);
  refresh();
}

void AVPlayer::replaceCurrentItemWithPlayerItem(AVPlayerItemPtr item) {
  QX_DCHECK_MAIN_THREAD();
  if (item == currentItem_.get()) return;
  cancelSeek();
  if (item) {
    if (auto other = item->player_.lock(); other && other.get() != this) other->replaceCurrentItemWithPlayerItem(nullptr);
  }
  if (auto old = currentItem_.get()) old->detach();
  running_ = false;
  anchorTime_ = 0;
  anchorClock_ = PlatformClock::now();
  currentItem_.set(item);
  if (item) item->attach(std::static_pointer_cast<AVPlayer>(shared_from_this()));
  refresh();
}

void AVPlayer::cancelSeek() {
  seeking_ = false;
  ++seekGeneration_;
  if (seekCompletion_) {
    dispatch_async(dispatch_get_main_queue(),
                   [completion = std::move(seekCompletion_)]() mutable { completion(false); });
  }
}

void AVPlayer::seekToTime(CMTime time) {
  seekToTime(time, kCMTimePositiveInfinity, kCMTimePositiveInfinity, nullptr);
}

void AVPlayer::seekToTime(CMTime time, CMTime toleranceBefore, CMTime toleranceAfter,
                          OnceCallback<void(bool finished)> completionHandler) {
  QX_DCHECK_MAIN_THREAD();
  // Every seek lands on the exact time, which any tolerance allows.
  (void)toleranceBefore;
  (void)toleranceAfter;
  auto item = currentItem_.get();
  if (!item || !item->pipeline_ || item->status() == AVPlayerItemStatusFailed || !CMTIME_IS_NUMERIC(time)) {
    if (completionHandler) {
      dispatch_async(dispatch_get_main_queue(),
                     [completion = std::move(completionHandler)]() mutable { completion(false); });
    }
    return;
  }
  cancelSeek();
  double target = std::max(0.0, std::min(CMTimeGetSeconds(time), durationSeconds()));
  refresh();
  anchorTime_ = target;
  seeking_ = true;
  refresh();
  seekCompletion_ = std::move(completionHandler);
  uint64_t generation = seekGeneration_;
  std::weak_ptr<AVPlayer> weak = std::static_pointer_cast<AVPlayer>(shared_from_this());
  item->pipeline_->seek(target, [weak, generation](bool finished) {
    if (auto self = weak.lock()) self->seekFinished(generation, finished);
  });
}

void AVPlayer::seekFinished(uint64_t generation, bool finished) {
  if (generation != seekGeneration_) return;
  seeking_ = false;
  auto completion = std::move(seekCompletion_);
  refresh();
  // Time jumped: observers hear of it even when it keeps standing still.
  if (!running_) notifyObservers();
  if (completion) completion(finished);
}

AVTimeObserverToken AVPlayer::addPeriodicTimeObserverForInterval(CMTime interval, dispatch_queue_t queue,
                                                                 std::function<void(CMTime time)> block) {
  QX_DCHECK_MAIN_THREAD();
  double seconds = CMTimeGetSeconds(interval);
  if (!block || !(seconds > 0) || !std::isfinite(seconds)) return nullptr;
  auto observer = std::make_shared<TimeObserver>();
  observer->interval = seconds;
  observer->queue = queue ? queue : dispatch_get_main_queue();
  observer->block = std::move(block);
  observers_.push_back(observer);
  reschedule();
  return observer;
}

void AVPlayer::removeTimeObserver(const AVTimeObserverToken& token) {
  QX_DCHECK_MAIN_THREAD();
  for (auto it = observers_.begin(); it != observers_.end(); ++it) {
    if (*it == token) {
      PlatformClock::cancel((*it)->clockToken);
      (*it)->clockToken = 0;
      (*it)->block = nullptr;
      observers_.erase(it);
      return;
    }
  }
}

void AVPlayer::cancelSchedule() {
  if (endToken_) PlatformClock::cancel(endToken_);
  endToken_ = 0;
  for (auto& o : observers_) {
    if (o->clockToken) PlatformClock::cancel(o->clockToken);
    o->clockToken = 0;
  }
}

void AVPlayer::reschedule() {
  cancelSchedule();
  if (!running_ || anchorRate_ <= 0) return;
  std::weak_ptr<AVPlayer> weak = std::static_pointer_cast<AVPlayer>(shared_from_this());
  double duration = durationSeconds();
  if (std::isfinite(duration)) {
    double remaining = (duration - anchorTime_) / anchorRate_;
    endToken_ = PlatformClock::scheduleAt(anchorClock_ + std::max(0.0, remaining), [weak] {
      dispatch_async(dispatch_get_main_queue(), [weak] {
        if (auto self = weak.lock()) self->reachedEnd();
      });
    });
  }
  for (auto& o : observers_) scheduleObserver(o);
}

void AVPlayer::scheduleObserver(const std::shared_ptr<TimeObserver>& observer) {
  if (observer->clockToken) PlatformClock::cancel(observer->clockToken);
  observer->clockToken = 0;
  if (!running_ || anchorRate_ <= 0) return;
  double t = seconds();
  double next = (std::floor(t / observer->interval + 1e-9) + 1) * observer->interval;
  if (next > durationSeconds()) return;  // the end stops time; observers hear of that
  std::weak_ptr<AVPlayer> weak = std::static_pointer_cast<AVPlayer>(shared_from_this());
  std::weak_ptr<TimeObserver> weakObserver = observer;
  observer->clockToken = PlatformClock::scheduleAt(anchorClock_ + (next - anchorTime_) / anchorRate_, [weak, weakObserver] {
    dispatch_async(dispatch_get_main_queue(), [weak, weakObserver] {
      auto self = weak.lock();
      auto observer = weakObserver.lock();
      if (!self || !observer || !observer->block) return;
      observer->clockToken = 0;
      self->deliver(observer, self->currentTime());
      self->scheduleObserver(observer);
    });
  });
}

void AVPlayer::deliver(const std::shared_ptr<TimeObserver>& observer, CMTime time) {
  // The block as it stands now; a removal made meanwhile cannot reach it any more.
  std::function<void(CMTime)> block = observer->block;
  if (!block) return;
  if (observer->queue == dispatch_get_main_queue()) {
    dispatch_main_now_or_async([block, time] { block(time); });
  } else {
    dispatch_async(observer->queue, [block, time] { block(time); });
  }
}

void AVPlayer::notifyObservers() {
  CMTime time = currentTime();
  for (auto& o : observers_) {
    std::weak_ptr<TimeObserver> weak = o;
    std::weak_ptr<AVPlayer> self = std::static_pointer_cast<AVPlayer>(shared_from_this());
    dispatch_async(dispatch_get_main_queue(), [self, weak, time] {
      auto player = self.lock();
      auto observer = weak.lock();
      if (player && observer && observer->block) player->deliver(observer, time);
    });
  }
}

void AVPlayer::reachedEnd() {
  endToken_ = 0;
  auto item = currentItem_.get();
  if (!item || !running_) return;
  double duration = durationSeconds();
  if (seconds() + 1e-9 < duration) {
    reschedule();  // the clock was moved under us; plan again
    return;
  }
  anchorTime_ = duration;
  anchorClock_ = PlatformClock::now();
  NSNotificationCenter::defaultCenter().postNotificationName(AVPlayerItemDidPlayToEndTimeNotification, item);
  // Playback pauses at the end, as the platform's default action does.
  if (currentItem_.get() == item) setRate(0);
}

// ---------------------------------------------------------------- layer

std::shared_ptr<AVPlayerLayer> AVPlayerLayer::playerLayerWithPlayer(AVPlayerPtr player) {
  auto layer = std::make_shared<AVPlayerLayer>();
  layer->setPlayer(std::move(player));
  return layer;
}

void AVPlayerLayer::setPlayer(AVPlayerPtr player) {
  player_ = std::move(player);
  setNeedsDisplay();
}

void AVPlayerLayer::setVideoGravity(std::string gravity) {
  if (gravity != AVLayerVideoGravityResize && gravity != AVLayerVideoGravityResizeAspectFill) {
    gravity = AVLayerVideoGravityResizeAspect;
  }
  videoGravity_ = std::move(gravity);
  setNeedsDisplay();
}

CGRect AVPlayerLayer::videoRect() const {
  auto item = player_ ? player_->currentItem() : nullptr;
  CGSize size = item ? item->presentationSize() : CGSizeZero;
  CGRect box = bounds();
  if (size.width <= 0 || size.height <= 0) return CGRectZero;
  if (videoGravity_ == AVLayerVideoGravityResize) return box;
  if (videoGravity_ == AVLayerVideoGravityResizeAspect) return AVMakeRectWithAspectRatioInsideRect(size, box);
  double scale = std::max(box.size.width / size.width, box.size.height / size.height);
  double w = size.width * scale, h = size.height * scale;
  return CGRectMake(CGRectGetMidX(box) - w / 2, CGRectGetMidY(box) - h / 2, w, h);
}

bool AVPlayerLayer::isReadyForDisplay() const {
  auto item = player_ ? player_->currentItem() : nullptr;
  return item && item->status() == AVPlayerItemStatusReadyToPlay && item->isPlaybackBufferFull() &&
         item->presentationSize().width > 0;
}

std::shared_ptr<CALayer> AVPlayerLayer::makeCopy() const {
  return std::shared_ptr<CALayer>(new AVPlayerLayer(*this));
}

void AVPlayerLayer::renderContent(const CGContextRef& context, double time) const {
  CALayer::renderContent(context, time);
  auto item = player_ ? player_->currentItem() : nullptr;
  if (!item || !item->pipeline_ || item->status() != AVPlayerItemStatusReadyToPlay) return;
  CGImageRef picture = item->pipeline_->pictureAt(player_->seconds(), kFrameWaitSeconds);
  CGRect rect = videoRect();
  if (!picture || rect.size.width <= 0 || rect.size.height <= 0) return;
  CGContextSaveGState(context);
  CGContextClipToRect(context, bounds());
  CALayerRendering::drawImageFlipped(context, rect, picture);
  CGContextRestoreGState(context);
}

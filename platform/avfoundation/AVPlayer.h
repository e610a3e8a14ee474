#pragma once
// Playback: a player plays one item at a time on the platform clock, while
// the item's pipeline decodes its video off the main thread, and a player
// layer draws the picture for the player's current time. There is no sound:
// audio tracks are described but never decoded.
//
// Players, items and layers belong to the main thread. The item's
// observable keys ("status", "duration", "playbackLikelyToKeepUp",
// "playbackBufferEmpty", "playbackBufferFull") and the player's ("rate",
// "currentItem") change there, so their observers hear on the main thread.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/CMTime.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ObservableProperty.h"
#include "platform/quartzcore/CALayer.h"

class AVPlayer;
class AVPlaybackPipeline;
class AVPlayerItem;

void KVOStore(Value& out, const std::shared_ptr<AVPlayerItem>& item);

// Posted on the main thread with the item as object when playback reaches
// its end.
extern const char* const AVPlayerItemDidPlayToEndTimeNotification;

enum AVPlayerItemStatus : int64_t {
  AVPlayerItemStatusUnknown = 0,
  AVPlayerItemStatusReadyToPlay = 1,
  AVPlayerItemStatusFailed = 2,
};

class AVPlayerItem : public NSKeyValueObservable {
 public:
  explicit AVPlayerItem(AVAssetPtr asset);
  ~AVPlayerItem() override;
  static std::shared_ptr<AVPlayerItem> playerItemWithAsset(AVAssetPtr asset);
  static std::shared_ptr<AVPlayerItem> playerItemWithURL(NSURLPtr url);

  const AVAssetPtr& asset() const { return asset_; }
  AVPlayerItemStatus status() const { return status_; }
  // The reason for the failed status; null otherwise.
  NSErrorPtr error() const { return error_; }
  // Indefinite until the asset has loaded, and for media without a length.
  CMTime duration() const { return duration_; }
  // The size of the video's pictures; zero without video.
  CGSize presentationSize() const { return presentationSize_; }
  bool isPlaybackLikelyToKeepUp() const { return likelyToKeepUp_; }
  bool isPlaybackBufferEmpty() const { return bufferEmpty_; }
  bool isPlaybackBufferFull() const { return bufferFull_; }
  // The player's time while the item is current; zero otherwise.
  CMTime currentTime() const;

  std::string className() const override { return "AVPlayerItem"; }

 private:
  friend class AVPlayer;
  friend class AVPlayerLayer;
  // Loading starts when a player first takes the item.
  void attach(const std::shared_ptr<AVPlayer>& player);
  void detach();
  void assetLoaded();
  void fail(NSErrorPtr error);
  void pipelineOpened(NSErrorPtr error, bool hasVideo, CGSize size);
  void becomeReady();
  void bufferChanged(bool filled);

  AVAssetPtr asset_;
  std::weak_ptr<AVPlayer> player_;
  bool started_ = false;
  // The video has opened; the buffer holds the picture for the current time.
  bool opened_ = false;
  bool assetReady_ = false;
  bool filled_ = false;
  std::shared_ptr<AVPlaybackPipeline> pipeline_;
  NSErrorPtr error_;
  ObservableProperty<AVPlayerItemStatus> status_{this, "status", AVPlayerItemStatusUnknown};
  ObservableProperty<CMTime> duration_{this, "duration", kCMTimeIndefinite};
  ObservableProperty<bool> likelyToKeepUp_{this, "playbackLikelyToKeepUp", false};
  ObservableProperty<bool> bufferEmpty_{this, "playbackBufferEmpty", true};
  ObservableProperty<bool> bufferFull_{this, "playbackBufferFull", false};
  CGSize presentationSize_ = CGSizeZero;
};
using AVPlayerItemPtr = std::shared_ptr<AVPlayerItem>;

using AVTimeObserverToken = std::shared_ptr<NSObject>;

class AVPlayer : public NSKeyValueObservable {
 public:
  AVPlayer();
  ~AVPlayer() override;
  static std::shared_ptr<AVPlayer> player();
  static std::shared_ptr<AVPlayer> playerWithPlayerItem(AVPlayerItemPtr item);
  static std::shared_ptr<AVPlayer> playerWithURL(NSURLPtr url);

  AVPlayerItemPtr currentItem() const { return currentItem_; }
  // The old item stops decoding; time starts again at zero. An item taken
  // from another player leaves it.
  void replaceCurrentItemWithPlayerItem(AVPlayerItemPtr item);

  float rate() const { return rate_; }
  // Time moves at this rate while the item is ready and its buffer holds
  // the picture for the current time; a nonzero rate on an item not yet
  // ready waits for it.
  void setRate(float rate);
  void play() { setRate(1); }
  void pause() { setRate(0); }

  CMTime currentTime() const;
  // The time is clamped to the item. Time stops until the picture at the
  // new time is decoded (from the key frame before it); the completion
  // then runs on the main queue with true, or with false when another seek
  // or a new item comes first.
  void seekToTime(CMTime time, CMTime toleranceBefore, CMTime toleranceAfter,
                  OnceCallback<void(bool finished)> completionHandler);
  void seekToTime(CMTime time);

  // The block runs on `queue` (the main queue when null) at every multiple
  // of `interval` of item time while time moves, and whenever it starts,
  // stops or jumps.
  AVTimeObserverToken addPeriodicTimeObserverForInterval(CMTime interval, dispatch_queue_t queue,
                                                         std::function<void(CMTime time)> block);
  void removeTimeObserver(const AVTimeObserverToken& observer);

  std::string className() const override { return "AVPlayer"; }

 private:
  friend class AVPlayerItem;
  friend class AVPlayerLayer;
  struct TimeObserver;
  double seconds() const;
  double durationSeconds() const;
  bool shouldRun() const;
  // Fixes the time reached so far as the start of a new stretch, at the
  // current rate, and plans the end and the observers' calls from there.
  void refresh();
  void itemStateChanged();
  void reschedule();
  void scheduleObserver(const std::shared_ptr<TimeObserver>& observer);
  void cancelSchedule();
  void cancelSeek();
  void seekFinished(uint64_t generation, bool finished);
  void reachedEnd();
  void deliver(const std::shared_ptr<TimeObserver>& observer, CMTime time);
  // Every observer hears the time now: time started, stopped or jumped.
  void notifyObservers();

  ObservableProperty<float> rate_{this, "rate", 0.0f};
  ObservableProperty<AVPlayerItemPtr> currentItem_{this, "currentItem"};
  // Item time at anchorClock_ on the platform clock, moving at anchorRate_
  // while running_.
  double anchorTime_ = 0;
  double anchorClock_ = 0;
  float anchorRate_ = 0;
  bool running_ = false;
  bool seeking_ = false;
  uint64_t seekGeneration_ = 0;
  OnceCallback<void(bool)> seekCompletion_;
  uint64_t endToken_ = 0;
  std::vector<std::shared_ptr<TimeObserver>> observers_;
};
using AVPlayerPtr = std::shared_ptr<AVPlayer>;

extern const char* const AVLayerVideoGravityResizeAspect;
extern const char* const AVLayerVideoGravityResizeAspectFill;
extern const char* const AVLayerVideoGravityResize;

// Draws the picture of its player's current item for the player's current
// time: the last picture at or before it, placed by the video gravity.
class AVPlayerLayer : public CALayer {
 public:
  AVPlayerLayer() = default;
  static std::shared_ptr<AVPlayerLayer> playerLayerWithPlayer(AVPlayerPtr player);

  AVPlayerPtr player() const { return player_; }
  void setPlayer(AVPlayerPtr player);
  const std::string& videoGravity() const { return videoGravity_; }
  void setVideoGravity(std::string gravity);
  // Where the picture lands in the layer's bounds; zero without a picture size.
  CGRect videoRect() const;
  // Whether the current item has a picture for the current time.
  bool isReadyForDisplay() const;

  std::string className() const override { return "AVPlayerLayer"; }

  // How long drawing waits for the decoder to reach the current time.
  static constexpr double kFrameWaitSeconds = 2.0;

 protected:
  AVPlayerLayer(const AVPlayerLayer& other) = default;
  std::shared_ptr<CALayer> makeCopy() const override;
  void renderContent(const CGContextRef& context, double time) const override;

 private:
  AVPlayerPtr player_;
  std::string videoGravity_ = AVLayerVideoGravityResizeAspect;
};
using AVPlayerLayerPtr = std::shared_ptr<AVPlayerLayer>;

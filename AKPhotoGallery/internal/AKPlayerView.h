#pragma once

// The content view of a video page: it plays one video (a URL or a ready
// asset) in its own player layer and draws the controls — the large play
// button, the buffering spinner, and an overlay with the close button and a
// bottom bar (play/pause, elapsed time, time slider, duration). The overlay
// can live in another view (the page puts it above its scroll view). Assets
// load off the main thread; the item and the player are followed by
// key-value observation; the controls hide by themselves while the video
// plays; a failed load is retried once when the user asks to play again.

#include <functional>
#include <memory>
#include <string>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVPlayer.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/NSDateComponentsFormatter.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIView.h"

class UIActivityIndicatorView;
class UIButton;
class UIControl;
class UIEvent;
class UIGestureRecognizer;
class UILabel;
class UISlider;
class UITapGestureRecognizer;
struct NSNotification;

// The overlay of the player's controls. A touch on its empty area goes
// through to whatever lies below it; its buttons and slider take theirs.
class AKPlayerControlView : public UIView {
 public:
  using UIView::UIView;
  std::shared_ptr<UIView> hitTest(const CGPoint& point, UIEvent* event) override;
  std::string className() const override { return "AKPlayerControlView"; }
};

class AKPlayerView : public UIView, public NSKeyValueObserver {
  struct Token {};

 public:
  // The overlay goes into `controlParentView` (held weakly) when given,
  // otherwise into the player view itself.
  static std::shared_ptr<AKPlayerView> playerView(const CGRect& frame,
                                                  const std::shared_ptr<UIView>& controlParentView);
  AKPlayerView(Token, const CGRect& frame, const std::shared_ptr<UIView>& controlParentView);
  ~AKPlayerView() override;

  // Setting a URL makes its asset on a background queue; setting the same
  // URL again does nothing unless the last load or the item failed.
  const NSURLPtr& url() const { return url_; }
  virtual void setUrl(NSURLPtr url);
  // Setting an asset loads its duration and makes the item from it.
  const AVAssetPtr& asset() const { return asset_; }
  virtual void setAsset(AVAssetPtr asset);
  const AVPlayerItemPtr& playerItem() const { return playerItem_; }
  virtual void setPlayerItem(AVPlayerItemPtr item);
  const std::function<void()>& closeBlock() const { return closeBlock_; }
  // The close button shows exactly while a block is set.
  virtual void setCloseBlock(std::function<void()> block);
  const std::function<void()>& beginPlayBlock() const { return beginPlayBlock_; }
  virtual void setBeginPlayBlock(std::function<void()> block) { beginPlayBlock_ = std::move(block); }

  virtual bool isControlHidden() const;
  virtual void setControlHidden(bool hidden);
  // Playing means a rate of exactly 1.
  virtual bool isPlaying() const;
  virtual bool autoHidesControlView() const { return autoHidesControlView_; }
  virtual void setAutoHidesControlView(bool on) { autoHidesControlView_ = on; }
  virtual bool tapToToggleControlView() const { return tapToToggleControlView_; }
  virtual void setTapToToggleControlView(bool on);
  virtual bool isFinishedPlaying() const { return isFinishedPlaying_; }
  virtual void setFinishedPlaying(bool finished) { isFinishedPlaying_ = finished; }
  virtual const std::shared_ptr<UIActivityIndicatorView>& bufferingIndicator();
  // Seeks to the whole seconds of `seconds` (cut toward zero) when there is an item.
  virtual void setCurrentTime(double seconds);

  // The large play button's action: play, tell the client, hide the overlay.
  virtual void playAndHidesControlView();
  virtual void play();
  virtual void pause();
  // Cancels loading and pauses.
  virtual void stop();
  virtual void updateContextBackground(double alpha);
  // Back to the empty state: no URL, asset, item or error; the bar disabled.
  virtual void reset();
  virtual void playPauseButtonWasPressed();
  virtual void startHidesControlTimerIfNeeded();
  // "01:05" for 65 seconds; negative and not-a-number read as 0.
  virtual std::string createTimeString(double seconds) const;
  virtual void updateBufferingIndicatorStateIfNeeded();
  virtual void addObservers(const AVPlayerItemPtr& item);
  virtual void removeObservers(const AVPlayerItemPtr& item);
  virtual void itemDidPlayToEndTime(const NSNotification& notification);

  void close();
  void timeSliderDidChange(UIControl& sender, UIEvent* event);
  void sliderTappedAction(UIGestureRecognizer& gesture);
  void toggleControlView(UIGestureRecognizer& gesture);
  void hidesControlViewIfNeeded();

  void observeValueForKeyPath(const std::string& keyPath, NSObject* object, const Value& change,
                              void* context) override;

  const AVPlayerPtr& player() const { return player_; }
  const NSErrorPtr& error() const { return error_; }
  bool autoPlayOrShowErrorOnce() const { return autoPlayOrShowErrorOnce_; }
  const std::shared_ptr<UIButton>& playButton() const { return playButton_; }
  const std::shared_ptr<UIButton>& closeButton() const { return closeButton_; }
  const std::shared_ptr<UIButton>& playPauseButton() const { return playPauseButton_; }
  const std::shared_ptr<UISlider>& timeSlider() const { return timeSlider_; }
  const std::shared_ptr<UILabel>& startTimeLabel() const { return startTimeLabel_; }
  const std::shared_ptr<UILabel>& durationLabel() const { return durationLabel_; }
  const std::shared_ptr<UITapGestureRecognizer>& tapGesture() const { return tapGesture_; }
  const std::shared_ptr<AKPlayerControlView>& controlView() const { return controlView_; }
  const NSTimerPtr& hidesControlViewTimer() const { return hidesControlViewTimer_; }

  // The bottom bar sits this far above the overlay's bottom on screens with
  // a home indicator (a longer side of at least 812 points), on it otherwise.
  static double bottomBarInset();

  std::string className() const override { return "AKPlayerView"; }

 protected:
  virtual void setupUI();

 private:
  // The steps of setupUI: the centred play button and buffering indicator,
  // the close and play/pause buttons, the bottom bar over its background, and
  // the taps on the view and on the slider.
  void setupPlayButton(const std::shared_ptr<AKPlayerView>& self);
  void setupControlButtons(const std::shared_ptr<AKPlayerView>& self);
  void setupBottomBar(const std::shared_ptr<AKPlayerView>& self);
  void setupGestures(const std::shared_ptr<AKPlayerView>& self);
  void loadURL(const NSURLPtr& url);
  void assetDidLoad(const AVAssetPtr& asset, AVPlayerItemPtr item, NSErrorPtr error);
  void detachItem();
  void showToast(const std::string& message);
  void stopHidesControlTimer();

  NSURLPtr url_;
  AVAssetPtr asset_;
  AVPlayerItemPtr playerItem_;
  std::function<void()> closeBlock_;
  std::function<void()> beginPlayBlock_;
  bool autoHidesControlView_ = true;
  bool tapToToggleControlView_ = true;
  bool isFinishedPlaying_ = false;
  std::shared_ptr<UIButton> playButton_;
  std::shared_ptr<UIButton> closeButton_;
  std::shared_ptr<UIButton> playPauseButton_;
  std::shared_ptr<UISlider> timeSlider_;
  std::shared_ptr<UILabel> startTimeLabel_;
  std::shared_ptr<UILabel> durationLabel_;
  std::shared_ptr<UITapGestureRecognizer> tapGesture_;
  std::shared_ptr<UIActivityIndicatorView> bufferingIndicator_;
  AVPlayerPtr player_;
  std::shared_ptr<AKPlayerControlView> controlView_;
  bool autoPlayOrShowErrorOnce_ = false;
  NSErrorPtr error_;
  NSDateComponentsFormatter timeRemainingFormatter_;
  AVTimeObserverToken timeObserverToken_;
  std::weak_ptr<UIView> controlParentView_;
  NSTimerPtr hidesControlViewTimer_;
  // The item whose keys this view observes (the player's while installed).
  AVPlayerItemPtr observedItem_;
};

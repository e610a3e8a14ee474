#include "AKPhotoGallery/internal/AKPlayerView.h"

#include <algorithm>
#include <cmath>

#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIEvent.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UISlider.h"
#include "platform/uikit/UITapGestureRecognizer.h"
#include "platform/uikit/UITouch.h"

namespace {

// Identifies this view's own observations among whatever else observes.
int kObservationContext = 0;

constexpr const char* kItemKeys[] = {"duration", "status", "playbackLikelyToKeepUp",
                                     "playbackBufferEmpty"};
constexpr uint64_t kAllMargins = UIViewAutoresizingFlexibleLeftMargin |
                                 UIViewAutoresizingFlexibleRightMargin |
                                 UIViewAutoresizingFlexibleTopMargin |
                                 UIViewAutoresizingFlexibleBottomMargin;
constexpr uint64_t kPlayerFlexibleSize =
    UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight;
constexpr double kAutoHideDelay = 3.5;
constexpr double kButtonSide = 40;
constexpr double kSliderHeight = 40;
constexpr double kLabelWidth = 50;

// Errors a second attempt cannot cure: the address itself is wrong.
bool isRetryable(const NSErrorPtr& error) {
  const int64_t code = error->code();
  return code != NSURLErrorBadURL && code != NSURLErrorUnsupportedURL &&
         code != NSURLErrorFileDoesNotExist;
}

// The bar under the video: play/pause, elapsed time, slider, duration, laid
// out along its width (the slider takes what the others leave).
class AKPlayerControlBar : public UIView {
 public:
  AKPlayerControlBar(std::shared_ptr<UIView> playPause, std::shared_ptr<UIView> start,
                     std::shared_ptr<UIView> slider, std::shared_ptr<UIView> duration)
      : playPause_(std::move(playPause)),
        start_(std::move(start)),
        slider_(std::move(slider)),
        duration_(std::move(duration)) {
    for (const auto& view : {playPause_, start_, slider_, duration_}) addSubview(view);
  }
  void layoutSubviews() override {
    const double width = bounds().size.width;
    playPause_->setFrame(CGRectMake(20, 0, kButtonSide, kButtonSide));
    const double middle = kButtonSide / 2;
    const double labelHeight = std::max(start_->intrinsicContentSize().height,
                                        duration_->intrinsicContentSize().height);
    const double startX = 20 + kButtonSide;
    start_->setFrame(CGRectMake(startX, middle - labelHeight / 2, kLabelWidth, labelHeight));
    const double durationX = width - 10 - kLabelWidth;
    duration_->setFrame(CGRectMake(durationX, middle - labelHeight / 2, kLabelWidth, labelHeight));
    const double sliderX = startX + kLabelWidth + 15;
    slider_->setFrame(CGRectMake(sliderX, middle - kSliderHeight / 2,
                                 std::max(0.0, durationX - 15 - sliderX), kSliderHeight));
  }
  std::string className() const override { return "AKPlayerControlBar"; }

 private:
  std::shared_ptr<UIView> playPause_, start_, slider_, duration_;
};

}  // namespace

std::shared_ptr<UIView> AKPlayerControlView::hitTest(const CGPoint& point, UIEvent* event) {
  auto hit = UIView::hitTest(point, event);
  return hit.get() == this ? nullptr : hit;
}

std::shared_ptr<AKPlayerView> AKPlayerView::playerView(const CGRect& frame,
                                                       const std::shared_ptr<UIView>& controlParentView) {
  auto view = std::make_shared<AKPlayerView>(Token{}, frame, controlParentView);
  view->setupUI();
  return view;
}

AKPlayerView::AKPlayerView(Token, const CGRect& frame, const std::shared_ptr<UIView>& controlParentView)
    : UIView(std::make_shared<AVPlayerLayer>(), frame),
      playButton_(UIButton::buttonWithType(UIButtonType::Custom)),
      closeButton_(UIButton::buttonWithType(UIButtonType::Custom)),
      playPauseButton_(UIButton::buttonWithType(UIButtonType::Custom)),
      timeSlider_(std::make_shared<UISlider>()),
      startTimeLabel_(std::make_shared<UILabel>()),
      durationLabel_(std::make_shared<UILabel>()),
      player_(AVPlayer::player()),
      controlView_(std::make_shared<AKPlayerControlView>()),
      controlParentView_(controlParentView) {
  timeRemainingFormatter_.setAllowedUnits(NSCalendarUnitMinute | NSCalendarUnitSecond);
  timeRemainingFormatter_.setZeroFormattingBehavior(NSDateComponentsFormatterZeroFormattingBehaviorPad);
}

AKPlayerView::~AKPlayerView() {
  stopHidesControlTimer();
  if (observedItem_) removeObservers(observedItem_);
  if (asset_) asset_->cancelLoading();
}

void AKPlayerView::setupUI() {
  auto self = SharedFromThis(this);
  std::static_pointer_cast<AVPlayerLayer>(layer())->setPlayer(player_);
  setupPlayButton(self);
  setupControlButtons(self);
  setupBottomBar(self);
  setupGestures(self);
}

void AKPlayerView::setupPlayButton(const std::shared_ptr<AKPlayerView>& self) {
  playButton_->setImage(AKPhotoGalleryResource::videoPlayImage(), UIControlStateNormal);
  playButton_->addTarget(self, WeakBind(WeakFromThis(this), [](AKPlayerView& view, auto&&...) {
                           view.playAndHidesControlView();
                         }),
                         UIControlEventTouchUpInside);
  addSubview(playButton_);
  playButton_->sizeToFit();
  const CGRect own = bounds();
  playButton_->setCenter(CGPointMake(CGRectGetMidX(own), CGRectGetMidY(own)));
  playButton_->setAutoresizingMask(kAllMargins);

  auto indicator = bufferingIndicator();
  indicator->setHidesWhenStopped(true);
  indicator->setUserInteractionEnabled(false);
  indicator->setCenter(CGPointMake(CGRectGetMidX(own), CGRectGetMidY(own)));
  indicator->setAutoresizingMask(kAllMargins);
  addSubview(indicator);
}

void AKPlayerView::setupControlButtons(const std::shared_ptr<AKPlayerView>& self) {
  auto weak = WeakFromThis(this);
  closeButton_->setImage(AKPhotoGalleryResource::closeVideoImage(), UIControlStateNormal);
  closeButton_->addTarget(self, WeakBind(weak, [](AKPlayerView& view, auto&&...) { view.close(); }),
                          UIControlEventTouchUpInside);
  controlView_->addSubview(closeButton_);
  closeButton_->setFrame(CGRectMake(15, 25, kButtonSide, kButtonSide));
  closeButton_->setHidden(!closeBlock_);

  playPauseButton_->setImage(AKPhotoGalleryResource::videoToolbarPlayImage(), UIControlStateNormal);
  playPauseButton_->setImage(AKPhotoGalleryResource::videoToolbarPauseImage(), UIControlStateSelected);
  playPauseButton_->addTarget(self, WeakBind(weak, [](AKPlayerView& view, auto&&...) {
                                view.playPauseButtonWasPressed();
                              }),
                              UIControlEventTouchUpInside);
}

void AKPlayerView::setupBottomBar(const std::shared_ptr<AKPlayerView>& self) {
  auto font = UIFont::fontWithName("Helvetica Neue", 13);
  if (!font) font = UIFont::systemFontOfSize(13);
  startTimeLabel_->setTextColor(UIColor::whiteColor());
  startTimeLabel_->setTextAlignment(NSTextAlignmentRight);
  startTimeLabel_->setFont(font);

  timeSlider_->addTarget(self, WeakBind(WeakFromThis(this), [](AKPlayerView& view, UIControl& sender, UIEvent* event) {
                           view.timeSliderDidChange(sender, event);
                         }),
                         // The slider reports value changes only while the
                         // thumb moves: the touch's start and end come as
                         // their own events, and the touch's phase tells.
                         UIControlEventValueChanged | UIControlEventTouchDown |
                             UIControlEventTouchUpInside | UIControlEventTouchUpOutside |
                             UIControlEventTouchCancel);
  timeSlider_->setThumbImage(AKPhotoGalleryResource::videoTimeSliderImage(), UIControlStateNormal);

  durationLabel_->setTextColor(UIColor::whiteColor());
  durationLabel_->setFont(font);

  auto bar = std::make_shared<AKPlayerControlBar>(playPauseButton_, startTimeLabel_, timeSlider_,
                                                  durationLabel_);
  auto parent = controlParentView_.lock();
  if (!parent) parent = self;
  parent->addSubview(controlView_);
  controlView_->setFrame(parent->bounds());
  controlView_->setAutoresizingMask(kPlayerFlexibleSize);
  const CGSize overlay = controlView_->bounds().size;
  bar->setFrame(CGRectMake(0, overlay.height - bottomBarInset() - kButtonSide, overlay.width, kButtonSide));
  bar->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleTopMargin);
  controlView_->addSubview(bar);

  auto background = std::make_shared<UIImageView>(AKPhotoGalleryResource::videoPlayControlBackgroundImage());
  background->setFrame(controlView_->bounds());
  background->setAutoresizingMask(kPlayerFlexibleSize);
  controlView_->insertSubviewAtIndex(background, 0);
}

void AKPlayerView::setupGestures(const std::shared_ptr<AKPlayerView>& self) {
  auto weak = WeakFromThis(this);
  tapGesture_ = std::make_shared<UITapGestureRecognizer>();
  tapGesture_->addTarget(self, WeakBind(weak, [](AKPlayerView& view, UIGestureRecognizer& gesture) {
                           view.toggleControlView(gesture);
                         }));
  tapGesture_->setEnabled(tapToToggleControlView_);
  addGestureRecognizer(tapGesture_);

  auto sliderTap = std::make_shared<UITapGestureRecognizer>();
  sliderTap->addTarget(self, WeakBind(weak, [](AKPlayerView& view, UIGestureRecognizer& gesture) {
                         view.sliderTappedAction(gesture);
                       }));
  timeSlider_->addGestureRecognizer(sliderTap);
}

double AKPlayerView::bottomBarInset() {
  const CGSize screen = UIScreen::mainScreen()->bounds().size;
  return std::max(screen.width, screen.height) >= 812 ? 34 : 0;
}

// ---------------------------------------------------------------------------
// Properties.

void AKPlayerView::setUrl(NSURLPtr url) {
  const bool same = (!url && !url_) || (url && url_ && url->isEqual(*url_));
  const auto current = player_->currentItem();
  const bool failed = error_ || (current && current->error());
  if (same && !failed) return;
  url_ = url;
  if (url) {
    loadURL(url);
  } else {
    setAsset(nullptr);
  }
}

void AKPlayerView::loadURL(const NSURLPtr& url) {
  url_ = url;
  auto weak = WeakFromThis(this);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [weak, url] {
    AVAssetPtr asset = AVURLAsset::URLAssetWithURL(url);
    dispatch_async(dispatch_get_main_queue(), [weak, url, asset] {
      auto self = weak.lock();
      if (!self || !self->url_ || !self->url_->isEqual(*url)) return;
      self->setAsset(asset);
    });
  });
}

void AKPlayerView::setAsset(AVAssetPtr asset) {
  auto old = asset_;
  asset_ = asset;
  if (old == asset) return;
  if (old) old->cancelLoading();
  // A failure belongs to the asset it came from; the next one starts clean.
  error_ = nullptr;
  if (playerItem_) {
    detachItem();
    playerItem_ = nullptr;
  }
  if (!asset) return;
  bufferingIndicator()->startAnimating();
  auto weak = WeakFromThis(this);
  std::weak_ptr<AVAsset> weakAsset = asset;
  asset->loadValuesAsynchronouslyForKeys({"duration", "tracks"}, [weak, weakAsset] {
    auto loaded = weakAsset.lock();
    if (!loaded) return;
    NSErrorPtr error;
    AVPlayerItemPtr item;
    const auto status = loaded->statusOfValueForKey("duration", &error);
    if (status == AVKeyValueStatusLoaded) {
      item = AVPlayerItem::playerItemWithAsset(loaded);
      error = nullptr;
    } else if (status != AVKeyValueStatusFailed) {
      error = nullptr;
    }
    dispatch_async(dispatch_get_main_queue(), [weak, loaded, item, error] {
      if (auto self = weak.lock()) self->assetDidLoad(loaded, item, error);
    });
  });
}

void AKPlayerView::assetDidLoad(const AVAssetPtr& asset, AVPlayerItemPtr item, NSErrorPtr error) {
  if (asset_ != asset) return;
  if (error) error_ = error;
  bufferingIndicator()->stopAnimating();
  if (item) {
    setPlayerItem(std::move(item));
    return;
  }
  NSErrorPtr shown = error_;
  if (!shown) {
    if (auto current = player_->currentItem()) shown = current->error();
  }
  if (shown && autoPlayOrShowErrorOnce_) showToast(shown->localizedDescription());
}

void AKPlayerView::setPlayerItem(AVPlayerItemPtr item) {
  auto old = playerItem_;
  if (old && item != old) detachItem();
  playerItem_ = item;
  if (item && item != old) {
    player_->replaceCurrentItemWithPlayerItem(item);
    addObservers(item);
  }
}

void AKPlayerView::detachItem() {
  if (observedItem_) removeObservers(observedItem_);
  player_->pause();
  player_->replaceCurrentItemWithPlayerItem(nullptr);
}

void AKPlayerView::setCloseBlock(std::function<void()> block) {
  closeBlock_ = std::move(block);
  closeButton_->setHidden(!closeBlock_);
}

bool AKPlayerView::isControlHidden() const { return controlView_->isHidden(); }
void AKPlayerView::setControlHidden(bool hidden) { controlView_->setHidden(hidden); }
bool AKPlayerView::isPlaying() const { return player_->rate() == 1.0f; }

void AKPlayerView::setTapToToggleControlView(bool on) {
  tapToToggleControlView_ = on;
  if (tapGesture_) tapGesture_->setEnabled(on);
}

const std::shared_ptr<UIActivityIndicatorView>& AKPlayerView::bufferingIndicator() {
  if (!bufferingIndicator_) {
    bufferingIndicator_ = std::make_shared<UIActivityIndicatorView>(UIActivityIndicatorViewStyleGray);
  }
  return bufferingIndicator_;
}

void AKPlayerView::setCurrentTime(double seconds) {
  if (!player_->currentItem()) return;
  // Whole seconds toward zero; a time that is no number seeks to the start.
  const double whole = std::isfinite(seconds) ? std::trunc(seconds) : 0;
  const double bounded = std::clamp(whole, -9.0e15, 9.0e15);
  player_->seekToTime(CMTimeMake(static_cast<CMTimeValue>(bounded), 1), kCMTimeZero, kCMTimeZero,
                      nullptr);
}

// ---------------------------------------------------------------------------
// Playback.

void AKPlayerView::playAndHidesControlView() {
  play();
  if (beginPlayBlock_) beginPlayBlock_();
  if (autoHidesControlView_) controlView_->setHidden(true);
}

void AKPlayerView::play() {
  if (isPlaying()) return;
  NSErrorPtr error = error_;
  if (!error) {
    if (auto current = player_->currentItem()) error = current->error();
  }
  if (!error) {
    if (!playerItem_) return;
    switch (playerItem_->status()) {
      case AVPlayerItemStatusReadyToPlay:
        if (isFinishedPlaying_) {
          isFinishedPlaying_ = false;
          setCurrentTime(0);
        }
        player_->play();
        updateBufferingIndicatorStateIfNeeded();
        break;
      case AVPlayerItemStatusUnknown:
        // The player starts once the item is ready.
        player_->play();
        break;
      case AVPlayerItemStatusFailed:
        break;
    }
    return;
  }
  AVAssetPtr source = asset_;
  if (!source && playerItem_) source = playerItem_->asset();
  if (!source || !isRetryable(error)) {
    showToast(error->localizedDescription());
    return;
  }
  autoPlayOrShowErrorOnce_ = true;
  if (auto urlAsset = std::dynamic_pointer_cast<AVURLAsset>(source)) {
    setAsset(nullptr);
    loadURL(urlAsset->URL());
  } else {
    setUrl(nullptr);
    setAsset(source);
  }
  error_ = nullptr;
}

void AKPlayerView::pause() {
  if (player_->currentItem() && isPlaying()) player_->pause();
}

void AKPlayerView::stop() {
  if (asset_) asset_->cancelLoading();
  pause();
}

void AKPlayerView::close() {
  if (closeBlock_) closeBlock_();
}

void AKPlayerView::playPauseButtonWasPressed() {
  if (!isPlaying()) {
    play();
  } else if (player_->currentItem()) {
    player_->pause();
  }
}

void AKPlayerView::updateContextBackground(double alpha) {
  playButton_->setAlpha(alpha);
  controlView_->setAlpha(alpha);
}

void AKPlayerView::reset() {
  if (asset_) asset_->cancelLoading();
  setUrl(nullptr);
  setAsset(nullptr);
  if (playerItem_) detachItem();
  playerItem_ = nullptr;
  error_ = nullptr;
  autoPlayOrShowErrorOnce_ = false;
  isFinishedPlaying_ = false;
  bufferingIndicator()->stopAnimating();
  playButton_->setHidden(false);
  for (UIControl* control : {static_cast<UIControl*>(playPauseButton_.get()),
                             static_cast<UIControl*>(timeSlider_.get())}) {
    control->setEnabled(false);
  }
  startTimeLabel_->setEnabled(false);
  durationLabel_->setEnabled(false);
  timeSlider_->setValue(0);
  startTimeLabel_->setText("0:00");
  durationLabel_->setText("0:00");
}

void AKPlayerView::showToast(const std::string& message) { AKShowToast(SharedFromThis(this), message); }

// ---------------------------------------------------------------------------
// Observation.

void AKPlayerView::addObservers(const AVPlayerItemPtr& item) {
  if (observedItem_) removeObservers(observedItem_);
  observedItem_ = item;
  const unsigned options = NSKeyValueObservingOptionNew | NSKeyValueObservingOptionInitial;
  for (const char* key : kItemKeys) item->addObserver(this, key, options, &kObservationContext);
  player_->addObserver(this, "rate", options, &kObservationContext);
  auto weak = WeakFromThis(this);
  NSNotificationCenter::defaultCenter().addObserver(
      this, AVPlayerItemDidPlayToEndTimeNotification, item,
      WeakBind(weak, [](AKPlayerView& view, const NSNotification& notification) {
        view.itemDidPlayToEndTime(notification);
      }));
  timeObserverToken_ = player_->addPeriodicTimeObserverForInterval(
      CMTimeMake(1, 1), dispatch_get_main_queue(), WeakBind(weak, [](AKPlayerView& view, CMTime time) {
        const double seconds = CMTimeGetSeconds(time);
        view.startTimeLabel_->setText(view.createTimeString(seconds));
        if (view.isPlaying()) {
          view.timeSlider_->setValue(seconds);
          view.playButton_->setHidden(true);
        }
      }));
}

void AKPlayerView::removeObservers(const AVPlayerItemPtr& item) {
  for (const char* key : kItemKeys) item->removeObserver(this, key, &kObservationContext);
  player_->removeObserver(this, "rate", &kObservationContext);
  NSNotificationCenter::defaultCenter().removeObserver(this);
  if (timeObserverToken_) {
    player_->removeTimeObserver(timeObserverToken_);
    timeObserverToken_ = nullptr;
  }
  if (observedItem_ == item) observedItem_ = nullptr;
}

void AKPlayerView::observeValueForKeyPath(const std::string& keyPath, NSObject* object,
                                          const Value& change, void* context) {
  if (context != &kObservationContext) return;
  const Value* value = change.find(NSKeyValueChangeNewKey);
  if (keyPath == "duration") {
    const CMTime duration = value && value->isMap() ? CMTimeMakeFromDictionary(*value) : kCMTimeZero;
    const bool valid = CMTIME_IS_NUMERIC(duration) && duration.value != 0;
    const double total = valid ? static_cast<float>(CMTimeGetSeconds(duration)) : 0;
    const double now = valid ? static_cast<float>(CMTimeGetSeconds(player_->currentTime())) : 0;
    timeSlider_->setMaximumValue(total);
    timeSlider_->setValue(now);
    playPauseButton_->setEnabled(valid);
    timeSlider_->setEnabled(valid);
    startTimeLabel_->setEnabled(valid);
    durationLabel_->setEnabled(valid);
    startTimeLabel_->setText(createTimeString(now));
    durationLabel_->setText(createTimeString(total));
  } else if (keyPath == "status") {
    auto* item = dynamic_cast<AVPlayerItem*>(object);
    if (!item || !autoPlayOrShowErrorOnce_ || !value || !value->isNumber()) return;
    const auto status = static_cast<int64_t>(value->asDouble());
    if (status == AVPlayerItemStatusReadyToPlay) {
      play();
      autoPlayOrShowErrorOnce_ = false;
    } else if (status == AVPlayerItemStatusFailed) {
      showToast(item->error() ? item->error()->localizedDescription()
                              : AKPhotoGalleryResource::localizedStringWithKey(
                                    "preview.player.error.unknown"));
      autoPlayOrShowErrorOnce_ = false;
    }
  } else if (keyPath == "rate") {
    if (!value || !value->isNumber()) return;
    if (value->asDouble() == 1.0) {
      startHidesControlTimerIfNeeded();
      playPauseButton_->setSelected(true);
    } else {
      if (autoHidesControlView_) stopHidesControlTimer();
      playPauseButton_->setSelected(false);
    }
  } else if (keyPath == "playbackLikelyToKeepUp" || keyPath == "playbackBufferEmpty") {
    updateBufferingIndicatorStateIfNeeded();
  }
}

void AKPlayerView::itemDidPlayToEndTime(const NSNotification& notification) {
  auto item = std::dynamic_pointer_cast<AVPlayerItem>(notification.object);
  if (item != player_->currentItem()) return;
  isFinishedPlaying_ = true;
  playButton_->setHidden(false);
}

// ---------------------------------------------------------------------------
// Slider and overlay.

void AKPlayerView::timeSliderDidChange(UIControl&, UIEvent* event) {
  if (!event || event->allTouches().empty()) {
    setCurrentTime(timeSlider_->value());
    play();
    return;
  }
  const auto& touch = *event->allTouches().begin();
  switch (touch->phase()) {
    case UITouchPhase::Began:
      if (isPlaying() && player_->currentItem()) player_->pause();
      break;
    case UITouchPhase::Moved:
      setCurrentTime(timeSlider_->value());
      break;
    case UITouchPhase::Ended:
    case UITouchPhase::Cancelled:
      play();
      break;
    case UITouchPhase::Stationary:
      break;
  }
}

void AKPlayerView::sliderTappedAction(UIGestureRecognizer& gesture) {
  auto slider = std::dynamic_pointer_cast<UISlider>(gesture.view());
  if (!slider || slider->isHighlighted()) return;
  const double width = slider->bounds().size.width;
  if (!(width > 0)) return;
  const double fraction = gesture.locationInView(slider.get()).x / width;
  const double minimum = slider->minimumValue(), maximum = slider->maximumValue();
  slider->setValue(minimum + (maximum - minimum) * fraction, true);
  slider->sendActionsForControlEvents(UIControlEventValueChanged);
}

void AKPlayerView::toggleControlView(UIGestureRecognizer&) {
  controlView_->setHidden(!controlView_->isHidden());
  startHidesControlTimerIfNeeded();
}

void AKPlayerView::stopHidesControlTimer() {
  if (hidesControlViewTimer_) hidesControlViewTimer_->invalidate();
  hidesControlViewTimer_ = nullptr;
}

void AKPlayerView::startHidesControlTimerIfNeeded() {
  if (!autoHidesControlView_) return;
  stopHidesControlTimer();
  if (controlView_->isHidden() || !isPlaying()) return;
  hidesControlViewTimer_ = NSTimer::scheduledTimerWithTimeInterval(
      kAutoHideDelay, false,
      WeakBind(WeakFromThis(this), [](AKPlayerView& view, NSTimer&) { view.hidesControlViewIfNeeded(); }));
}

void AKPlayerView::hidesControlViewIfNeeded() {
  if (isPlaying()) controlView_->setHidden(true);
}

std::string AKPlayerView::createTimeString(double seconds) const {
  if (!(seconds >= 0)) seconds = 0;
  NSDateComponents components;
  components.second = static_cast<int64_t>(std::min(seconds, 9.0e15));
  return timeRemainingFormatter_.stringFromDateComponents(components).value_or("");
}

void AKPlayerView::updateBufferingIndicatorStateIfNeeded() {
  auto current = player_->currentItem();
  if (!isPlaying() || !current) return;
  if (current->isPlaybackBufferEmpty()) {
    bufferingIndicator()->startAnimating();
  } else {
    bufferingIndicator()->stopAnimating();
  }
}

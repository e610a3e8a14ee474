#include "AKPhotoGallery/AKPhotoIncrementalIndicator.h"

#include <cfloat>
#include <cmath>
#include <numbers>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/quartzcore/CAAnimation.h"
#include "platform/quartzcore/CAReplicatorLayer.h"
#include "platform/quartzcore/CATransform3D.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIScrollView.h"

namespace {

// Compared by address, as the observation's context.
const char kIndicatorKVOContext[] = "AKPhotoIncrementalIndicatorKVOContext";
void* context() { return const_cast<char*>(kIndicatorKVOContext); }

std::shared_ptr<CABasicAnimation> rotation(double from, double to, double duration) {
  auto animation = CABasicAnimation::animationWithKeyPath("transform.rotation");
  animation->setFromValue(from);
  animation->setToValue(to);
  animation->setDuration(duration);
  return animation;
}

class AKPhotoIncrementalLeftIndicator : public AKPhotoIncrementalIndicator {
 public:
  explicit AKPhotoIncrementalLeftIndicator(std::function<void()> refresh)
      : AKPhotoIncrementalIndicator(AKPhotoIncrementalIndicatorDirection::left, std::move(refresh)) {}

 protected:
  void updateFrame() override {
    auto scroll = std::dynamic_pointer_cast<UIScrollView>(superview());
    if (!scroll) return;
    setFrame({{-45, (scroll->bounds().size.height - kIndicatorSize) / 2},
              {kIndicatorSize, kIndicatorSize}});
  }
  void contentOffsetDidChange() override {
    auto scroll = scrollView();
    if (!scroll) return;
    const double x = scroll->contentOffset().x;
    if (x > 0 || scroll->contentInset().left != 0) return;
    applyPull(std::min(std::fabs(x) / kPullDistance, 1.0));
  }
  void resetContentInset() override {
    auto scroll = scrollView();
    if (!scroll) return;
    UIEdgeInsets inset = scroll->contentInset();
    inset.left = 0;
    scroll->setContentInset(inset);
  }
};

class AKPhotoIncrementalRightIndicator : public AKPhotoIncrementalIndicator {
 public:
  explicit AKPhotoIncrementalRightIndicator(std::function<void()> refresh)
      : AKPhotoIncrementalIndicator(AKPhotoIncrementalIndicatorDirection::right, std::move(refresh)) {}

 protected:
  void updateFrame() override {
    auto scroll = std::dynamic_pointer_cast<UIScrollView>(superview());
    if (!scroll) return;
    setFrame({{scroll->contentSize().width + 15, (scroll->bounds().size.height - kIndicatorSize) / 2},
              {kIndicatorSize, kIndicatorSize}});
  }
  void contentOffsetDidChange() override {
    auto scroll = scrollView();
    if (!scroll) return;
    const double end = scroll->contentSize().width - scroll->bounds().size.width;
    const double x = scroll->contentOffset().x;
    if (x < end || scroll->contentInset().right != 0) return;
    applyPull(std::min((x - end) / kPullDistance, 1.0));
  }
  void resetContentInset() override {
    auto scroll = scrollView();
    if (!scroll) return;
    UIEdgeInsets inset = scroll->contentInset();
    inset.right = 0;
    scroll->setContentInset(inset);
  }
};

}  // namespace

std::shared_ptr<AKPhotoIncrementalIndicator> AKPhotoIncrementalIndicator::make(
    AKPhotoIncrementalIndicatorDirection direction, std::function<void()> refreshBlock) {
  if (direction == AKPhotoIncrementalIndicatorDirection::left) {
    return std::make_shared<AKPhotoIncrementalLeftIndicator>(std::move(refreshBlock));
  }
  return std::make_shared<AKPhotoIncrementalRightIndicator>(std::move(refreshBlock));
}

AKPhotoIncrementalIndicator::AKPhotoIncrementalIndicator(AKPhotoIncrementalIndicatorDirection direction,
                                                         std::function<void()> refreshBlock)
    : UIView(std::make_shared<CAReplicatorLayer>(), CGRect{}),
      direction_(direction),
      refreshBlock_(std::move(refreshBlock)) {
  replicator_ = std::static_pointer_cast<CAReplicatorLayer>(layer());
  replicator_->setInstanceCount(0);
  replicator_->setInstanceDelay(static_cast<float>(1.0 / kMaxInstanceCount));
  replicator_->setInstanceColor(UIColor::whiteColor()->CGColor());
  replicator_->setInstanceTransform(CATransform3DMakeRotation(
      static_cast<float>(2 * std::numbers::pi / kMaxInstanceCount), 0, 0, 1));
  instance_ = CALayer::layer();
  instance_->setBackgroundColor(UIColor::whiteColor()->CGColor());
  instance_->setOpacity(1);
  replicator_->addSublayer(instance_);
}

AKPhotoIncrementalIndicator::~AKPhotoIncrementalIndicator() { stopObserving(); }

void AKPhotoIncrementalIndicator::setProgress(float progress) {
  progress_ = progress;
  setHidden(false);
  replicator_->setInstanceCount(
      progress == 0 ? 0 : static_cast<int64_t>(progress * static_cast<float>(kMaxInstanceCount)));
}

void AKPhotoIncrementalIndicator::stopObserving() {
  if (!observed_) return;
  observed_->removeObserver(this, "contentSize", context());
  observed_->removeObserver(this, "contentOffset", context());
  observed_ = nullptr;
}

void AKPhotoIncrementalIndicator::willMoveToSuperview(const std::shared_ptr<UIView>& superview) {
  UIView::willMoveToSuperview(superview);
  stopObserving();
  if (!superview) return;
  auto scroll = std::dynamic_pointer_cast<UIScrollView>(superview);
  if (!scroll) FatalStop("Superview must be a UIScrollView or its subclass!");
  scrollView_ = scroll;
  observed_ = scroll.get();
  scroll->addObserver(this, "contentSize", NSKeyValueObservingOptionNew, context());
  scroll->addObserver(this, "contentOffset", NSKeyValueObservingOptionNew, context());
}

void AKPhotoIncrementalIndicator::observeValueForKeyPath(const std::string& keyPath, NSObject*,
                                                         const Value&, void* ctx) {
  if (ctx != context()) return;
  if (!scrollView() || !enabled_ || keyPath.empty()) return;
  if (keyPath == "contentSize") {
    updateFrame();
  } else if (keyPath == "contentOffset") {
    contentOffsetDidChange();
  }
}

void AKPhotoIncrementalIndicator::layoutSubviews() {
  UIView::layoutSubviews();
  updateFrame();
  instance_->setFrame({{bounds().size.width / 2 - 1, 0}, {2, 6}});
}

void AKPhotoIncrementalIndicator::applyPull(double pull) {
  auto scroll = scrollView();
  if (!scroll) return;
  if (!scroll->isDragging() && static_cast<float>(pull) == 1.0f) {
    const CGPoint offset = scroll->contentOffset();
    UIEdgeInsets inset = scroll->contentInset();
    if (direction_ == AKPhotoIncrementalIndicatorDirection::left) {
      inset.left = kPullDistance;
    } else {
      inset.right = kPullDistance;
    }
    scroll->setContentInset(inset);
    scroll->setContentOffset(offset);
    beginRefreshing();
    return;
  }
  setProgress(static_cast<float>(pull));
}

void AKPhotoIncrementalIndicator::beginRefreshing() {
  replicator_->setInstanceCount(kMaxInstanceCount);
  auto quick = rotation(0, 2 * std::numbers::pi, 1);
  quick->setRepeatCount(1);
  quick->setRemovedOnCompletion(true);
  replicator_->addAnimation(quick, "RotateAnimationShort");
  auto slow = rotation(2 * std::numbers::pi, 4 * std::numbers::pi, 2);
  slow->setBeginTime(CACurrentMediaTime() + quick->duration());
  slow->setRepeatCount(FLT_MAX);
  replicator_->addAnimation(slow, "RotateAnimationLong");
  auto fade = CABasicAnimation::animationWithKeyPath("opacity");
  fade->setFromValue(1.0);
  fade->setToValue(0.0);
  fade->setDuration(1);
  fade->setRepeatCount(FLT_MAX);
  instance_->addAnimation(fade, "FadeAnimation");
  if (refreshBlock_) refreshBlock_();
}

void AKPhotoIncrementalIndicator::endRefreshing() {
  UIView::animateWithDuration(0.4, WeakBind(WeakFromThis(this), [](AKPhotoIncrementalIndicator& self) {
                                self.resetContentInset();
                              }),
                              WeakBind(WeakFromThis(this), [](AKPhotoIncrementalIndicator& self, bool) {
                                self.replicator_->removeAllAnimations();
                                self.instance_->removeAllAnimations();
                              }));
}

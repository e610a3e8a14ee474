#include "platform/uikit/UIImageView.h"

#include <limits>

#include "platform/foundation/ThreadChecks.h"
#include "platform/uikit/UIGraphics.h"

const char* const UIImageView::kAnimationKey = "UIImageAnimation";

namespace {

// The bitmap the layer shows: upright, and filled with the tint where a
// template image is opaque.
// A resizable image is laid out in its nine parts over `size` (the view's).
CGImageRef displayedBitmap(const UIImage& image, const UIColor& tint, CGSize size) {
  bool upright = image.imageOrientation() == UIImageOrientationUp;
  bool templated = image.renderingMode() == UIImageRenderingModeAlwaysTemplate;
  if (upright && !templated && !image.isResizable()) return image.CGImage();
  const CGSize drawn = image.isResizable() ? size : image.size();
  if (drawn.width <= 0 || drawn.height <= 0) return nullptr;
  auto context = UIGraphicsCreateImageContext(drawn, false, image.scale());
  if (!context) return image.CGImage();
  CGRect rect{CGPointZero, drawn};
  image.drawInContext(context, rect, kCGBlendModeNormal, 1);
  if (templated) {
    CGContextSetBlendMode(context, kCGBlendModeSourceIn);
    CGContextSetFillColorWithColor(context, tint.CGColor());
    CGContextFillRect(context, rect);
  }
  return CGBitmapContextCreateImage(context);
}

}  // namespace

UIImageView::UIImageView() : UIImageView(CGRectZero) {}

UIImageView::UIImageView(const CGRect& frame) : UIView(frame) {
  setUserInteractionEnabled(false);
}

UIImageView::UIImageView(UIImagePtr image) : UIImageView(CGRectZero) {
  if (image) setFrame(CGRect{CGPointZero, image->size()});
  setImage(std::move(image));
}

void UIImageView::setImage(UIImagePtr image) {
  QX_DCHECK_MAIN_THREAD();
  image_ = std::move(image);
  updateContents();
  invalidateIntrinsicContentSize();
}

void UIImageView::setHighlightedImage(UIImagePtr image) {
  QX_DCHECK_MAIN_THREAD();
  highlightedImage_ = std::move(image);
  updateContents();
}

void UIImageView::setHighlighted(bool highlighted) {
  QX_DCHECK_MAIN_THREAD();
  highlighted_ = highlighted;
  updateContents();
}

void UIImageView::updateContents() {
  const UIImagePtr& shown = highlighted_ && highlightedImage_ ? highlightedImage_ : image_;
  if (!shown || !shown->CGImage()) {
    layer()->setContents(nullptr);
    return;
  }
  drawnSize_ = bounds().size;
  layer()->setContents(displayedBitmap(*shown, *tintColor(), drawnSize_));
  layer()->setContentsScale(shown->scale());
}

void UIImageView::layoutSubviews() {
  UIView::layoutSubviews();
  // A resizable image is laid out anew for the new size.
  const UIImagePtr& shown = highlighted_ && highlightedImage_ ? highlightedImage_ : image_;
  if (shown && shown->isResizable() && bounds().size != drawnSize_) updateContents();
}

void UIImageView::tintColorDidChange() { updateContents(); }

bool UIImageView::displayLayer(CALayer&) {
  updateContents();
  return true;
}

void UIImageView::setAnimationImages(std::vector<UIImagePtr> images) {
  QX_DCHECK_MAIN_THREAD();
  animationImages_ = std::move(images);
  if (animationImages_.empty()) stopAnimating();
}

void UIImageView::setAnimationDuration(double duration) {
  QX_DCHECK_MAIN_THREAD();
  animationDuration_ = std::max(0.0, duration);
}

void UIImageView::setAnimationRepeatCount(int64_t count) {
  QX_DCHECK_MAIN_THREAD();
  animationRepeatCount_ = std::max<int64_t>(0, count);
}

void UIImageView::startAnimating() {
  QX_DCHECK_MAIN_THREAD();
  if (animationImages_.empty()) return;
  std::vector<CAValue> frames;
  for (const auto& image : animationImages_) {
    if (image && image->CGImage()) frames.emplace_back(displayedBitmap(*image, *tintColor(), bounds().size));
  }
  if (frames.empty()) return;
  auto animation = CAKeyframeAnimation::animationWithKeyPath("contents");
  animation->setCalculationMode(kCAAnimationDiscrete);
  size_t count = frames.size();
  animation->setValues(std::move(frames));
  animation->setDuration(animationDuration_ > 0 ? animationDuration_ : double(count) / 30);
  animation->setRepeatCount(animationRepeatCount_ > 0
                                ? double(animationRepeatCount_)
                                : std::numeric_limits<double>::infinity());
  layer()->setContentsScale(animationImages_.front()->scale());
  layer()->addAnimation(animation, kAnimationKey);
}

void UIImageView::stopAnimating() {
  QX_DCHECK_MAIN_THREAD();
  layer()->removeAnimationForKey(kAnimationKey);
}

bool UIImageView::isAnimating() const { return layer()->animationForKey(kAnimationKey) != nullptr; }

CGSize UIImageView::sizeThatFits(CGSize) const { return intrinsicContentSize(); }

CGSize UIImageView::intrinsicContentSize() const {
  if (image_) return image_->size();
  if (!animationImages_.empty() && animationImages_.front()) {
    return animationImages_.front()->size();
  }
  return CGSizeMake(UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric);
}

#include "AKPhotoGallery/AKPhotoContentAnimationView.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"

std::shared_ptr<AKPhotoContentAnimationView> AKPhotoContentAnimationView::withImage(
    std::shared_ptr<UIImage> image) {
  CGSize size = image ? image->size() : CGSize{};
  auto imageView = std::make_shared<UIImageView>(std::move(image));
  return withView(imageView, size);
}

std::shared_ptr<AKPhotoContentAnimationView> AKPhotoContentAnimationView::withView(
    std::shared_ptr<UIView> view, CGSize contentSize) {
  if (contentSize.width == 0 && contentSize.height == 0) contentSize = view->bounds().size;
  auto wrapper = std::make_shared<AKPhotoContentAnimationView>(view, contentSize);
  wrapper->addSubview(view);
  return wrapper;
}

AKPhotoContentAnimationView::AKPhotoContentAnimationView(std::shared_ptr<UIView> contentView,
                                                         CGSize contentSize)
    : UIView(CGRect{}), contentView_(std::move(contentView)), contentSize_(contentSize) {}

void AKPhotoContentAnimationView::setContentMode(UIViewContentMode mode) {
  UIView::setContentMode(mode);
  layoutContent();
}

void AKPhotoContentAnimationView::layoutSubviews() {
  UIView::layoutSubviews();
  layoutContent();
}

void AKPhotoContentAnimationView::layoutContent() {
  const CGSize c = contentSize_;
  if (c.width == 0 && c.height == 0) return;
  const CGSize b = bounds().size;
  const CGRect natural{{0, 0}, c};
  const CGPoint mid{b.width * 0.5, b.height * 0.5};
  auto place = [&](CGRect frame, CGPoint centre) {
    contentView_->setFrame(frame);
    contentView_->setCenter(centre);
  };
  switch (contentMode()) {
    case UIViewContentModeScaleToFill:
      contentView_->setFrame({{0, 0}, b});
      return;
    case UIViewContentModeScaleAspectFit: {
      double wr = c.width / b.width, hr = c.height / b.height;
      double r = wr <= hr ? hr : wr;
      place({{0, 0}, {c.width / r, c.height / r}}, mid);
      return;
    }
    case UIViewContentModeScaleAspectFill: {
      double wr = c.width / b.width, hr = c.height / b.height;
      double r = hr < wr ? hr : wr;
      place({{0, 0}, {c.width / r, c.height / r}}, mid);
      return;
    }
    case UIViewContentModeRedraw:
      return;
    case UIViewContentModeCenter:
      return place(natural, mid);
    case UIViewContentModeTop:
      return place(natural, {b.width * 0.5, c.height * 0.5});
    case UIViewContentModeBottom:
      return place(natural, {b.width * 0.5, b.height - c.height * 0.5});
    case UIViewContentModeLeft:
      return place(natural, {c.width * 0.5, b.height * 0.5});
    case UIViewContentModeRight:
      return place(natural, {b.width - c.width * 0.5, b.height * 0.5});
    case UIViewContentModeTopLeft:
      return place(natural, {c.width * 0.5, c.height * 0.5});
    case UIViewContentModeTopRight:
      return place(natural, {b.width - c.width * 0.5, c.height * 0.5});
    case UIViewContentModeBottomLeft:
      return place(natural, {c.width * 0.5, b.height - c.height * 0.5});
    case UIViewContentModeBottomRight:
      return place(natural, {b.width - c.width * 0.5, b.height - c.height * 0.5});
  }
}

std::shared_ptr<AKPhotoProgressIndicator> AKPhotoProgressIndicator::withHostView(
    const std::shared_ptr<UIView>& host) {
  auto indicator = std::make_shared<AKPhotoProgressIndicator>(host->bounds());
  host->addSubview(indicator);
  return indicator;
}

AKPhotoProgressIndicator::AKPhotoProgressIndicator(const CGRect& frame) : UIView(frame) {
  setAutoresizingMask(UIViewAutoresizingNone);
  setHidden(true);
  setBackgroundColor(UIColor::clearColor());
}

void AKPhotoProgressIndicator::startIndicating() {
  progress_ = 0;
  setNeedsDisplay();
  setHidden(false);
}

void AKPhotoProgressIndicator::stopIndicating() { setHidden(true); }

void AKPhotoProgressIndicator::setProgress(float progress) {
  progress_ = progress;
  setNeedsDisplay();
}

void AKPhotoProgressIndicator::drawRect(const CGRect&) {
  if (!UIGraphicsGetCurrentContext()) return;
  const CGSize size = bounds().size;
  constexpr double kDiameter = 37;
  UIColor::whiteColor()->setStroke();
  auto ring = UIBezierPath::bezierPathWithOvalInRect(
      {{(size.width - kDiameter) * 0.5, (size.height - kDiameter) * 0.5}, {kDiameter, kDiameter}});
  ring->setLineWidth(2);
  ring->stroke();

  constexpr double kTop = -std::numbers::pi / 2;
  auto arc = UIBezierPath::bezierPathWithArcCenter({size.width * 0.5, size.height * 0.5}, 17.5,
                                                   kTop, 2 * std::numbers::pi * progress_ + kTop,
                                                   true);
  arc->setLineCapStyle(kCGLineCapButt);
  arc->setLineWidth(4);
  arc->strokeWithBlendMode(kCGBlendModeCopy, 1);
}

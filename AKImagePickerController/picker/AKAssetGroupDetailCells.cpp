#include "AKImagePickerController/picker/AKAssetGroupDetailCells.h"

#include <cmath>
#include <cstdio>

#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "platform/foundation/Dispatch.h"
#include "platform/uikit/UIViewAnimation.h"

namespace {

void MarkContentView(UICollectionViewCell& cell, const char* identifier) {
  auto content = cell.contentView();
  content->setAccessibilityIdentifier(identifier);
  content->setIsAccessibilityElement(true);
}

constexpr uint64_t kFlexibleSize = UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight;

}  // namespace

std::string AKVideoDurationText(double seconds) {
  if (std::isnan(seconds) || seconds < 0) return "0:00";
  // One rounding for both fields, so 119.6 s reads 2:00 and not 1:00.
  double rounded = std::round(seconds);
  if (rounded > 9.0e15) rounded = 9.0e15;  // keeps the integer conversion defined
  auto whole = static_cast<int64_t>(rounded);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02d", static_cast<long long>(whole / 60),
                static_cast<int>(whole % 60));
  return text;
}

// `body` is copyable: a request may deliver a degraded image before the final one.
AKImageCompletion AKOnMainThread(std::function<void(const UIImagePtr& image)> body) {
  return [body = std::move(body)](const UIImagePtr& image, const Value&) {
    dispatch_main_now_or_async([body, image] { body(image); });
  };
}

// --- Base cell ---

AKAssetGroupDetailBaseCell::AKAssetGroupDetailBaseCell(const CGRect& frame)
    : UICollectionViewCell(frame) {
  longPress_ = std::make_shared<UILongPressGestureRecognizer>();
  longPress_->setMinimumPressDuration(kLongPressDuration);
}

void AKAssetGroupDetailBaseCell::didMoveToSuperview() {
  UICollectionViewCell::didMoveToSuperview();
  // A view cannot hand itself out while it is being made: the recognizer
  // goes on when the cell is first placed, before any touch can reach it.
  if (longPressAttached_) return;
  longPressAttached_ = true;
  auto self = std::static_pointer_cast<AKAssetGroupDetailBaseCell>(shared_from_this());
  longPress_->addTarget(self, [this](UIGestureRecognizer& g) { longPressWithGestureRecognizer(g); });
  addGestureRecognizer(longPress_);
}

void AKAssetGroupDetailBaseCell::longPressWithGestureRecognizer(UIGestureRecognizer& recognizer) {
  if (recognizer.state() != UIGestureRecognizerState::Began) return;
  if (longPressBlock_) longPressBlock_();
}

void AKAssetGroupDetailBaseCell::setHighlighted(bool highlighted) {
  UICollectionViewCell::setHighlighted(highlighted);
  // Reuse resets the state of every cell: only a change of look animates.
  CGAffineTransform target =
      isHighlighted() ? CGAffineTransformMakeScale(0.9, 0.9) : CGAffineTransformIdentity;
  if (CGAffineTransformEqualToTransform(transform(), target) && layer()->animationKeys().empty()) {
    return;
  }
  auto self = std::static_pointer_cast<UIView>(shared_from_this());
  if (isHighlighted()) {
    UIView::animateWithDuration(
        0.2, 0, UIViewAnimationOptionAllowUserInteraction,
        [self] { self->setTransform(CGAffineTransformMakeScale(0.9, 0.9)); }, nullptr);
  } else {
    UIView::animateWithDuration(
        0.8, 0, 0.9, 2.0, UIViewAnimationOptionAllowUserInteraction,
        [self] { self->setTransform(CGAffineTransformIdentity); }, nullptr);
  }
}

// --- Camera cell ---

AKAssetGroupDetailCameraCell::AKAssetGroupDetailCameraCell(const CGRect& frame)
    : AKAssetGroupDetailBaseCell(frame) {
  auto icon = std::make_shared<UIImageView>(bounds());
  icon->setContentMode(UIViewContentModeCenter);
  icon->setAutoresizingMask(kFlexibleSize);
  icon->setImage(AKImagePickerControllerResource::image("camera", false, false));
  contentView()->addSubview(icon);
  contentView()->setBackgroundColor(UIColor::colorWithWhite(0.9, 1.0));
  MarkContentView(*this, "AKImageCameraAccessibilityIdentifier");
}

// --- Check view ---

const std::shared_ptr<UIImageView>& AKAssetGroupDetailImageCell::AKImageCheckView::checkImageView() {
  if (!checkImageView_) {
    auto image = AKImagePickerControllerResource::image("checked_background", true, true);
    checkImageView_ = std::make_shared<UIImageView>(
        image ? image->imageWithRenderingMode(UIImageRenderingModeAlwaysTemplate) : nullptr);
  }
  return checkImageView_;
}

const std::shared_ptr<UILabel>& AKAssetGroupDetailImageCell::AKImageCheckView::checkLabel() {
  if (!checkLabel_) {
    checkLabel_ = std::make_shared<UILabel>();
    checkLabel_->setTextAlignment(NSTextAlignmentRight);
  }
  return checkLabel_;
}

void AKAssetGroupDetailImageCell::AKImageCheckView::layoutSubviews() {
  UIView::layoutSubviews();
  CGRect b = bounds();
  checkImageView()->setFrame(b);
  checkLabel()->setFrame(CGRectMake(0, 5, b.size.width - 5, 20));
}

// --- Photo cell ---

AKAssetGroupDetailImageCell::AKAssetGroupDetailImageCell(const CGRect& frame)
    : AKAssetGroupDetailBaseCell(frame) {
  checkView_ = std::make_shared<AKImageCheckView>();
  checkView_->addSubview(checkView_->checkImageView());
  checkView_->addSubview(checkView_->checkLabel());

  auto& thumbnail = _thumbnailImageView();
  thumbnail->setFrame(bounds());
  thumbnail->setAutoresizingMask(kFlexibleSize);
  contentView()->addSubview(thumbnail);

  checkView_->setFrame(bounds());
  checkView_->setAutoresizingMask(kFlexibleSize);
  checkView_->checkImageView()->setTintColor(nullptr);
  checkView_->checkLabel()->setFont(UIFont::boldSystemFontOfSize(14));
  checkView_->checkLabel()->setTextColor(UIColor::whiteColor());
  contentView()->addSubview(checkView_);
  // A new cell is not selected: no badge until it is.
  checkView_->setHidden(!isSelected());

  MarkContentView(*this, "AKImageAssetAccessibilityIdentifier");
}

const std::shared_ptr<UIImageView>& AKAssetGroupDetailImageCell::_thumbnailImageView() {
  if (!thumbnailImageView_) {
    thumbnailImageView_ = std::make_shared<UIImageView>();
    thumbnailImageView_->setContentMode(UIViewContentModeScaleAspectFill);
    thumbnailImageView_->setClipsToBounds(true);
  }
  return thumbnailImageView_;
}

void AKAssetGroupDetailImageCell::setThumbnailImage(UIImagePtr image) {
  AKAssetGroupDetailBaseCell::setThumbnailImage(image);
  _thumbnailImageView()->setImage(std::move(image));
}

void AKAssetGroupDetailImageCell::setSelectedIndex(int64_t index) {
  AKAssetGroupDetailBaseCell::setSelectedIndex(index);
  checkView_->checkLabel()->setText(std::to_string(index + 1));
}

void AKAssetGroupDetailImageCell::setSelected(bool selected) {
  AKAssetGroupDetailBaseCell::setSelected(selected);
  checkView_->setHidden(!isSelected());
}

// --- Video cell ---

AKAssetGroupDetailVideoCell::AKAssetGroupDetailVideoCell(const CGRect& frame)
    : AKAssetGroupDetailImageCell(frame) {
  contentView()->addSubview(videoInfoView());
  MarkContentView(*this, "AKVideoAssetAccessibilityIdentifier");
}

const std::shared_ptr<UIView>& AKAssetGroupDetailVideoCell::videoInfoView() {
  if (videoInfoView_) return videoInfoView_;
  videoInfoView_ = std::make_shared<UIView>(CGRectMake(0, 0, 100, 0));
  double barHeight = videoInfoView_->bounds().size.height;
  double barWidth = videoInfoView_->bounds().size.width;

  auto icon = std::make_shared<UIImageView>(
      AKImagePickerControllerResource::image("video_camera", false, true));
  CGSize iconSize = icon->image() ? icon->image()->size() : CGSizeZero;
  icon->setFrame(CGRectMake(0, 0, iconSize.width, iconSize.height));
  icon->setCenter(CGPointMake(iconSize.width / 2 + 7, barHeight / 2));
  icon->setAutoresizingMask(UIViewAutoresizingFlexibleTopMargin |
                            UIViewAutoresizingFlexibleBottomMargin);
  videoInfoView_->addSubview(icon);

  auto label = std::make_shared<UILabel>(CGRectMake(0, 0, barWidth - 7, barHeight));
  label->setTag(kDurationLabelTag);
  label->setTextAlignment(NSTextAlignmentRight);
  label->setFont(UIFont::systemFontOfSize(12));
  label->setTextColor(UIColor::whiteColor());
  label->setAutoresizingMask(kFlexibleSize);
  videoInfoView_->addSubview(label);
  return videoInfoView_;
}

void AKAssetGroupDetailImageCell::setAsset(const AKAssetPtr& asset) {
  AKAssetGroupDetailBaseCell::setAsset(asset);
  contentView()->setAccessibilityLabel(asset ? std::optional<std::string>(asset->localIdentifier())
                                             : std::nullopt);
}

void AKAssetGroupDetailVideoCell::setAsset(const AKAssetPtr& asset) {
  AKAssetGroupDetailImageCell::setAsset(asset);
  if (!asset) return;
  auto label = std::dynamic_pointer_cast<UILabel>(videoInfoView()->viewWithTag(kDurationLabelTag));
  if (label) label->setText(AKVideoDurationText(asset->duration()));
}

void AKAssetGroupDetailVideoCell::setSelected(bool selected) {
  AKAssetGroupDetailImageCell::setSelected(selected);
  videoInfoView()->setBackgroundColor(
      isSelected() ? UIColor::colorWithRed(20.0 / 255, 129.0 / 255, 252.0 / 255, 1)
                   : UIColor::colorWithWhite(0, 0.7));
}

void AKAssetGroupDetailVideoCell::layoutSubviews() {
  AKAssetGroupDetailImageCell::layoutSubviews();
  double height = contentView()->bounds().size.height;
  videoInfoView()->setFrame(
      CGRectMake(0, height - kBarHeight, contentView()->bounds().size.width, kBarHeight));
}

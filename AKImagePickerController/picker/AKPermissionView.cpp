#include "AKImagePickerController/picker/internal/AKPermissionView.h"

#include <algorithm>
#include <limits>

#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIApplication.h"

std::shared_ptr<AKPermissionView> AKPermissionView::permissionView(
    int64_t style, const AKPermissionViewColorsPtr& colors) {
  auto view = std::make_shared<AKPermissionView>();
  view->setFrame(CGRectZero);
  view->addSubview(view->titleLabel_);
  view->addSubview(view->permitButton_);

  auto& label = view->titleLabel_;
  if (style == kPhotoStyle) {
    label->setText(AKImagePickerControllerResource::localizedString("permission.photo.title", ""));
    label->setTextColor(colors ? colors->titlePhotoColor : nullptr);
  } else {
    label->setText(AKImagePickerControllerResource::localizedString("permission.camera.title", ""));
    label->setTextColor(colors ? colors->titleCameraColor : nullptr);
  }
  label->sizeToFit();

  auto& button = view->permitButton_;
  button->setTitle(AKImagePickerControllerResource::localizedString("permission.allow", ""),
                   UIControlStateNormal);
  button->setTitleColor(colors ? colors->permitButtonColor : nullptr, UIControlStateNormal);
  button->addTarget(view, WeakBind(std::weak_ptr<AKPermissionView>(view),
                                   [](AKPermissionView& v, UIControl&, UIEvent*) { v.gotoSettings(); }),
                    UIControlEventTouchUpInside);
  button->titleLabel()->setFont(UIFont::boldSystemFontOfSize(16));
  view->arrange(std::numeric_limits<double>::infinity());
  return view;
}

void AKPermissionView::arrange(double width) {
  auto& label = titleLabel_;
  CGSize text = label->sizeThatFits(CGSizeMake(width, std::numeric_limits<double>::infinity()));
  label->setFrame(CGRectMake(0, 0, std::min(text.width, width), text.height));
  permitButton_->sizeToFit();
  permitButton_->setCenter(CGPointMake(label->center().x, label->frame().size.height + 40));

  CGRect frame = this->frame();
  frame.size.width = std::max(label->frame().size.width, permitButton_->frame().size.width);
  frame.size.height = CGRectGetMaxY(permitButton_->frame());
  setFrame(frame);
}

void AKPermissionView::layoutInSuperview() {
  auto parent = superview();
  if (!parent) return;
  // A line longer than the screen is wide wraps, with a margin either side.
  constexpr double kMargin = 16;
  CGRect area = parent->bounds();
  double width = std::max(0.0, area.size.width - 2 * kMargin);
  titleLabel_->setNumberOfLines(1);
  if (titleLabel_->sizeThatFits(CGSizeZero).width > width) {
    titleLabel_->setNumberOfLines(0);
    titleLabel_->setTextAlignment(NSTextAlignmentCenter);
  }
  arrange(width);
  setCenter(CGPointMake(CGRectGetMidX(area), CGRectGetMidY(area)));
}

void AKPermissionView::gotoSettings() {
  auto url = NSURL::URLWithString(UIApplicationOpenSettingsURLString);
  if (!url) return;
  UIApplication::sharedApplication()->openURL(url, Value(ValueMap{}), nullptr);
}

void AKPermissionView::didMoveToWindow() {
  UIView::didMoveToWindow();
  layoutInSuperview();
}

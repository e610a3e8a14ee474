#include "AKImagePickerController/picker/internal/AKPermissionView.h"

#include <algorithm>

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
  button->sizeToFit();
  button->setCenter(CGPointMake(label->center().x, label->frame().size.height + 40));

  CGRect frame = view->frame();
  frame.size.width = std::max(label->frame().size.width, button->frame().size.width);
  frame.size.height = CGRectGetMaxY(button->frame());
  view->setFrame(frame);
  return view;
}

void AKPermissionView::gotoSettings() {
  auto url = NSURL::URLWithString(UIApplicationOpenSettingsURLString);
  if (!url) return;
  UIApplication::sharedApplication()->openURL(url, Value(ValueMap{}), nullptr);
}

void AKPermissionView::didMoveToWindow() {
  UIView::didMoveToWindow();
  if (auto parent = superview()) setCenter(parent->center());
}

#include "AKPhotoGallery/internal/AKPhotoQRCodeResultVC.h"

#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UITextView.h"

AKPhotoQRCodeResultVC::AKPhotoQRCodeResultVC() : textView_(std::make_shared<UITextView>()) {}

void AKPhotoQRCodeResultVC::viewDidLoad() {
  UIViewController::viewDidLoad();
  view()->setBackgroundColor(UIColor::whiteColor());
  setTitle(AKPhotoGalleryResource::localizedStringWithKey("preview.image.extractQRCode.result.text.title"));
  textView_->setFrame(view()->bounds());
  textView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  textView_->setFont(UIFont::systemFontOfSize(16));
  textView_->setTextColor(UIColor::blackColor());
  textView_->setEditable(false);
  textView_->setSelectable(true);
  view()->addSubview(textView_);
  textView_->setText(result_);
}

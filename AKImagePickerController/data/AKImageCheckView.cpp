#include "AKImagePickerController/data/internal/AKImageCheckView.h"

const std::shared_ptr<UIImageView>& AKImageCheckView::checkImageView() {
  if (!checkImageView_) {
    checkImageView_ = std::make_shared<UIImageView>(bounds());
    addSubview(checkImageView_);
  }
  return checkImageView_;
}

const std::shared_ptr<UILabel>& AKImageCheckView::numberLabel() {
  if (!numberLabel_) {
    numberLabel_ = std::make_shared<UILabel>(bounds());
    addSubview(numberLabel_);
  }
  return numberLabel_;
}

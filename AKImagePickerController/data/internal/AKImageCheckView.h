#pragma once
// The selection badge of a grid cell: a check image and, for numbered
// selection, a number label, each made the first time it is asked for.

#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"

class AKImageCheckView : public UIView {
 public:
  AKImageCheckView() = default;
  explicit AKImageCheckView(const CGRect& frame) : UIView(frame) {}

  const std::shared_ptr<UIImageView>& checkImageView();
  const std::shared_ptr<UILabel>& numberLabel();

  std::string className() const override { return "AKImageCheckView"; }

 private:
  std::shared_ptr<UIImageView> checkImageView_;
  std::shared_ptr<UILabel> numberLabel_;
};
using AKImageCheckViewPtr = std::shared_ptr<AKImageCheckView>;

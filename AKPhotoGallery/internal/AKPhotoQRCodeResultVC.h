#pragma once

// The text a QR code held, on a screen of its own: read-only, but it can be
// selected and copied.

#include <memory>
#include <string>

#include "platform/uikit/UIViewController.h"

class UITextView;

class AKPhotoQRCodeResultVC : public UIViewController {
 public:
  AKPhotoQRCodeResultVC();

  const std::string& result() const { return result_; }
  // Read once, when the view loads.
  void setResult(std::string result) { result_ = std::move(result); }
  const std::shared_ptr<UITextView>& textView() const { return textView_; }

  void viewDidLoad() override;
  std::string className() const override { return "AKPhotoQRCodeResultVC"; }

 private:
  std::string result_;
  std::shared_ptr<UITextView> textView_;
};

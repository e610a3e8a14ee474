#pragma once

// Colours as UIKit gives them: sRGB or grey components with alpha, each
// 0...1, and the named colours this code base uses (system colours in their
// light appearance).

#include <memory>
#include <optional>

#include "platform/coregraphics/CGColor.h"

class UIColor;
using UIColorPtr = std::shared_ptr<UIColor>;

class UIColor : public NSObject {
 public:
  explicit UIColor(CGColorRef color);

  static UIColorPtr colorWithRed(double red, double green, double blue, double alpha);
  static UIColorPtr colorWithWhite(double white, double alpha);
  // nullptr for a null colour.
  static UIColorPtr colorWithCGColor(const CGColorRef& color);

  static UIColorPtr blackColor();
  static UIColorPtr whiteColor();
  static UIColorPtr clearColor();
  static UIColorPtr grayColor();
  static UIColorPtr lightGrayColor();
  static UIColorPtr darkGrayColor();
  static UIColorPtr redColor();
  static UIColorPtr greenColor();
  static UIColorPtr blueColor();
  static UIColorPtr systemBlueColor();
  static UIColorPtr systemGray6Color();

  const CGColorRef& CGColor() const { return color_; }
  // False when the colour cannot be expressed in that form (never here: grey
  // converts to RGB and RGB to grey by luminance).
  bool getRed(double* red, double* green, double* blue, double* alpha) const;
  bool getWhite(double* white, double* alpha) const;
  double alpha() const { return color_->alpha(); }
  UIColorPtr colorWithAlphaComponent(double alpha) const;

  // Fill, stroke or both of the current UIKit drawing context.
  void setFill() const;
  void setStroke() const;
  void set() const;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;
  std::string className() const override { return "UIColor"; }

 private:
  CGColorRef color_;
};

#pragma once

// Colours as UIKit gives them: sRGB or grey components with alpha, each
// 0...1, the named colours this code base uses, and dynamic colours with a
// light and a dark appearance (the semantic system colours among them),
// which resolve with the current trait collection wherever a component or
// the Core Graphics colour is read.

#include <functional>
#include <memory>
#include <optional>

#include "platform/coregraphics/CGColor.h"
#include "platform/uikit/UITraitCollection.h"

class UIColor;
using UIColorPtr = std::shared_ptr<UIColor>;

class UIColor : public NSObject {
 public:
  explicit UIColor(CGColorRef color);
  // Light and dark appearances; a null dark one makes a static colour.
  UIColor(CGColorRef light, CGColorRef dark);

  // The provider is asked once for each appearance.
  static UIColorPtr colorWithDynamicProvider(
      const std::function<UIColorPtr(const UITraitCollection&)>& provider);
  // The appearance for `traits`, as a static colour.
  UIColorPtr resolvedColorWithTraitCollection(const UITraitCollection& traits) const;
  bool isDynamic() const { return dark_ != nullptr; }

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
  static UIColorPtr systemGrayColor();
  static UIColorPtr systemGray2Color();
  static UIColorPtr systemGray3Color();
  static UIColorPtr systemGray4Color();
  static UIColorPtr systemGray5Color();
  static UIColorPtr systemRedColor();
  static UIColorPtr systemGreenColor();
  static UIColorPtr systemOrangeColor();
  static UIColorPtr labelColor();
  static UIColorPtr secondaryLabelColor();
  static UIColorPtr tertiaryLabelColor();
  static UIColorPtr quaternaryLabelColor();
  static UIColorPtr placeholderTextColor();
  static UIColorPtr linkColor();
  static UIColorPtr separatorColor();
  static UIColorPtr opaqueSeparatorColor();
  static UIColorPtr systemBackgroundColor();
  static UIColorPtr secondarySystemBackgroundColor();
  static UIColorPtr tertiarySystemBackgroundColor();
  static UIColorPtr systemGroupedBackgroundColor();
  static UIColorPtr secondarySystemGroupedBackgroundColor();
  static UIColorPtr systemFillColor();
  static UIColorPtr secondarySystemFillColor();

  // Resolved with the current trait collection.
  const CGColorRef& CGColor() const;
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
  CGColorRef dark_;  // null for static colours
};

#include "platform/uikit/UIColor.h"

#include <cstdio>

#include "platform/uikit/UIGraphics.h"

UIColor::UIColor(CGColorRef color) : color_(std::move(color)) {}

UIColorPtr UIColor::colorWithRed(double red, double green, double blue, double alpha) {
  return std::make_shared<UIColor>(CGColorCreateSRGB(red, green, blue, alpha));
}

UIColorPtr UIColor::colorWithWhite(double white, double alpha) {
  return std::make_shared<UIColor>(CGColorCreateGenericGray(white, alpha));
}

UIColorPtr UIColor::colorWithCGColor(const CGColorRef& color) {
  return color ? std::make_shared<UIColor>(color) : nullptr;
}

UIColorPtr UIColor::blackColor() { return colorWithWhite(0, 1); }
UIColorPtr UIColor::whiteColor() { return colorWithWhite(1, 1); }
UIColorPtr UIColor::clearColor() { return colorWithWhite(0, 0); }
UIColorPtr UIColor::grayColor() { return colorWithWhite(0.5, 1); }
UIColorPtr UIColor::lightGrayColor() { return colorWithWhite(2.0 / 3, 1); }
UIColorPtr UIColor::darkGrayColor() { return colorWithWhite(1.0 / 3, 1); }
UIColorPtr UIColor::redColor() { return colorWithRed(1, 0, 0, 1); }
UIColorPtr UIColor::greenColor() { return colorWithRed(0, 1, 0, 1); }
UIColorPtr UIColor::blueColor() { return colorWithRed(0, 0, 1, 1); }
UIColorPtr UIColor::systemBlueColor() { return colorWithRed(0, 122 / 255.0, 1, 1); }
UIColorPtr UIColor::systemGray6Color() {
  return colorWithRed(242 / 255.0, 242 / 255.0, 247 / 255.0, 1);
}

bool UIColor::getRed(double* red, double* green, double* blue, double* alpha) const {
  double rgba[4];
  color_->getRGBA(rgba);
  if (red) *red = rgba[0];
  if (green) *green = rgba[1];
  if (blue) *blue = rgba[2];
  if (alpha) *alpha = rgba[3];
  return true;
}

bool UIColor::getWhite(double* white, double* alpha) const {
  double rgba[4];
  color_->getRGBA(rgba);
  if (white) {
    const auto& c = color_->components();
    *white = c.size() == 2 ? c[0] : 0.299 * rgba[0] + 0.587 * rgba[1] + 0.114 * rgba[2];
  }
  if (alpha) *alpha = rgba[3];
  return true;
}

UIColorPtr UIColor::colorWithAlphaComponent(double alpha) const {
  return std::make_shared<UIColor>(CGColorCreateCopyWithAlpha(color_, alpha));
}

void UIColor::setFill() const {
  CGContextSetFillColorWithColor(UIGraphicsGetCurrentContext(), color_);
}

void UIColor::setStroke() const {
  CGContextSetStrokeColorWithColor(UIGraphicsGetCurrentContext(), color_);
}

void UIColor::set() const {
  setFill();
  setStroke();
}

bool UIColor::isEqual(const NSObject& other) const {
  auto* color = dynamic_cast<const UIColor*>(&other);
  return color && CGColorEqualToColor(color->color_, color_);
}

size_t UIColor::hash() const { return color_->hash(); }

std::string UIColor::description() const {
  const auto& c = color_->components();
  char text[96];
  if (c.size() == 2)
    std::snprintf(text, sizeof text, "UIExtendedGrayColorSpace %g %g", c[0], c[1]);
  else
    std::snprintf(text, sizeof text, "UIExtendedSRGBColorSpace %g %g %g %g", c[0], c[1], c[2],
                  c[3]);
  return text;
}

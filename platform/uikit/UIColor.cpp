#include "platform/uikit/UIColor.h"

#include <cstdio>

#include "platform/uikit/UIGraphics.h"

UIColor::UIColor(CGColorRef color) : color_(std::move(color)) {}

UIColor::UIColor(CGColorRef light, CGColorRef dark)
    : color_(std::move(light)), dark_(std::move(dark)) {}

namespace {

CGColorRef rgb255(int r, int g, int b, double a = 1) {
  return CGColorCreateSRGB(r / 255.0, g / 255.0, b / 255.0, a);
}

UIColorPtr lightDark(CGColorRef light, CGColorRef dark) {
  return std::make_shared<UIColor>(std::move(light), std::move(dark));
}

}  // namespace

const CGColorRef& UIColor::CGColor() const {
  if (dark_ &&
      UITraitCollection::currentTraitCollection().userInterfaceStyle == UIUserInterfaceStyleDark) {
    return dark_;
  }
  return color_;
}

UIColorPtr UIColor::colorWithDynamicProvider(
    const std::function<UIColorPtr(const UITraitCollection&)>& provider) {
  if (!provider) return nullptr;
  auto light = provider(UITraitCollection::traitCollectionWithUserInterfaceStyle(
      UIUserInterfaceStyleLight));
  auto dark =
      provider(UITraitCollection::traitCollectionWithUserInterfaceStyle(UIUserInterfaceStyleDark));
  if (!light || !dark) return nullptr;
  return lightDark(light->color_, dark->color_);
}

UIColorPtr UIColor::resolvedColorWithTraitCollection(const UITraitCollection& traits) const {
  const bool dark = dark_ && traits.userInterfaceStyle == UIUserInterfaceStyleDark;
  return std::make_shared<UIColor>(dark ? dark_ : color_);
}

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
// The system's semantic colours, light and dark.
UIColorPtr UIColor::systemBlueColor() { return lightDark(rgb255(0, 122, 255), rgb255(10, 132, 255)); }
UIColorPtr UIColor::systemRedColor() { return lightDark(rgb255(255, 59, 48), rgb255(255, 69, 58)); }
UIColorPtr UIColor::systemGreenColor() { return lightDark(rgb255(52, 199, 89), rgb255(48, 209, 88)); }
UIColorPtr UIColor::systemOrangeColor() {
  return lightDark(rgb255(255, 149, 0), rgb255(255, 159, 10));
}
UIColorPtr UIColor::systemGrayColor() { return lightDark(rgb255(142, 142, 147), rgb255(142, 142, 147)); }
UIColorPtr UIColor::systemGray2Color() { return lightDark(rgb255(174, 174, 178), rgb255(99, 99, 102)); }
UIColorPtr UIColor::systemGray3Color() { return lightDark(rgb255(199, 199, 204), rgb255(72, 72, 74)); }
UIColorPtr UIColor::systemGray4Color() { return lightDark(rgb255(209, 209, 214), rgb255(58, 58, 60)); }
UIColorPtr UIColor::systemGray5Color() { return lightDark(rgb255(229, 229, 234), rgb255(44, 44, 46)); }
UIColorPtr UIColor::systemGray6Color() { return lightDark(rgb255(242, 242, 247), rgb255(28, 28, 30)); }
UIColorPtr UIColor::labelColor() { return lightDark(rgb255(0, 0, 0), rgb255(255, 255, 255)); }
UIColorPtr UIColor::secondaryLabelColor() {
  return lightDark(rgb255(60, 60, 67, 0.6), rgb255(235, 235, 245, 0.6));
}
UIColorPtr UIColor::tertiaryLabelColor() {
  return lightDark(rgb255(60, 60, 67, 0.3), rgb255(235, 235, 245, 0.3));
}
UIColorPtr UIColor::quaternaryLabelColor() {
  return lightDark(rgb255(60, 60, 67, 0.18), rgb255(235, 235, 245, 0.16));
}
UIColorPtr UIColor::placeholderTextColor() { return tertiaryLabelColor(); }
UIColorPtr UIColor::linkColor() { return lightDark(rgb255(0, 122, 255), rgb255(9, 132, 255)); }
UIColorPtr UIColor::separatorColor() {
  return lightDark(rgb255(60, 60, 67, 0.29), rgb255(84, 84, 88, 0.6));
}
UIColorPtr UIColor::opaqueSeparatorColor() {
  return lightDark(rgb255(198, 198, 200), rgb255(56, 56, 58));
}
UIColorPtr UIColor::systemBackgroundColor() {
  return lightDark(rgb255(255, 255, 255), rgb255(0, 0, 0));
}
UIColorPtr UIColor::secondarySystemBackgroundColor() {
  return lightDark(rgb255(242, 242, 247), rgb255(28, 28, 30));
}
UIColorPtr UIColor::tertiarySystemBackgroundColor() {
  return lightDark(rgb255(255, 255, 255), rgb255(44, 44, 46));
}
UIColorPtr UIColor::systemGroupedBackgroundColor() {
  return lightDark(rgb255(242, 242, 247), rgb255(0, 0, 0));
}
UIColorPtr UIColor::secondarySystemGroupedBackgroundColor() {
  return lightDark(rgb255(255, 255, 255), rgb255(28, 28, 30));
}
UIColorPtr UIColor::systemFillColor() {
  return lightDark(rgb255(120, 120, 128, 0.2), rgb255(120, 120, 128, 0.36));
}
UIColorPtr UIColor::secondarySystemFillColor() {
  return lightDark(rgb255(120, 120, 128, 0.16), rgb255(120, 120, 128, 0.32));
}

bool UIColor::getRed(double* red, double* green, double* blue, double* alpha) const {
  double rgba[4];
  CGColor()->getRGBA(rgba);
  if (red) *red = rgba[0];
  if (green) *green = rgba[1];
  if (blue) *blue = rgba[2];
  if (alpha) *alpha = rgba[3];
  return true;
}

bool UIColor::getWhite(double* white, double* alpha) const {
  double rgba[4];
  CGColor()->getRGBA(rgba);
  if (white) {
    const auto& c = CGColor()->components();
    *white = c.size() == 2 ? c[0] : 0.299 * rgba[0] + 0.587 * rgba[1] + 0.114 * rgba[2];
  }
  if (alpha) *alpha = rgba[3];
  return true;
}

UIColorPtr UIColor::colorWithAlphaComponent(double alpha) const {
  return std::make_shared<UIColor>(CGColorCreateCopyWithAlpha(color_, alpha),
                                   dark_ ? CGColorCreateCopyWithAlpha(dark_, alpha) : nullptr);
}

void UIColor::setFill() const {
  CGContextSetFillColorWithColor(UIGraphicsGetCurrentContext(), CGColor());
}

void UIColor::setStroke() const {
  CGContextSetStrokeColorWithColor(UIGraphicsGetCurrentContext(), CGColor());
}

void UIColor::set() const {
  setFill();
  setStroke();
}

bool UIColor::isEqual(const NSObject& other) const {
  auto* color = dynamic_cast<const UIColor*>(&other);
  if (!color || !CGColorEqualToColor(color->color_, color_)) return false;
  if (!dark_ || !color->dark_) return !dark_ && !color->dark_;
  return CGColorEqualToColor(color->dark_, dark_);
}

size_t UIColor::hash() const { return color_->hash(); }

std::string UIColor::description() const {
  const auto& c = CGColor()->components();
  char text[96];
  if (c.size() == 2)
    std::snprintf(text, sizeof text, "UIExtendedGrayColorSpace %g %g", c[0], c[1]);
  else
    std::snprintf(text, sizeof text, "UIExtendedSRGBColorSpace %g %g %g %g", c[0], c[1], c[2],
                  c[3]);
  return text;
}

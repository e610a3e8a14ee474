#include "platform/uikit/UIImageSymbolConfiguration.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

#include "platform/uikit/UIFont.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"

// Configuration -----------------------------------------------------------

UIImageSymbolConfigurationPtr UIImageSymbolConfiguration::configurationWithPointSize(
    double pointSize) {
  return configurationWithPointSize(pointSize, UIImageSymbolWeightUnspecified,
                                    UIImageSymbolScaleUnspecified);
}

UIImageSymbolConfigurationPtr UIImageSymbolConfiguration::configurationWithPointSize(
    double pointSize, UIImageSymbolWeight weight) {
  return configurationWithPointSize(pointSize, weight, UIImageSymbolScaleUnspecified);
}

UIImageSymbolConfigurationPtr UIImageSymbolConfiguration::configurationWithPointSize(
    double pointSize, UIImageSymbolWeight weight, UIImageSymbolScale scale) {
  auto config = std::make_shared<UIImageSymbolConfiguration>();
  config->pointSize_ = std::isfinite(pointSize) && pointSize > 0 ? pointSize : 0;
  config->weight_ = weight >= UIImageSymbolWeightUnspecified && weight <= UIImageSymbolWeightBlack
                        ? weight
                        : UIImageSymbolWeightUnspecified;
  config->scale_ = scale >= UIImageSymbolScaleDefault && scale <= UIImageSymbolScaleLarge
                       ? scale
                       : UIImageSymbolScaleUnspecified;
  return config;
}

UIImageSymbolConfigurationPtr UIImageSymbolConfiguration::configurationWithWeight(
    UIImageSymbolWeight weight) {
  return configurationWithPointSize(0, weight, UIImageSymbolScaleUnspecified);
}

UIImageSymbolConfigurationPtr UIImageSymbolConfiguration::configurationWithScale(
    UIImageSymbolScale scale) {
  return configurationWithPointSize(0, UIImageSymbolWeightUnspecified, scale);
}

UIImageSymbolConfigurationPtr UIImageSymbolConfiguration::unspecifiedConfiguration() {
  return configurationWithPointSize(0);
}

UIImageSymbolConfigurationPtr UIImageSymbolConfiguration::configurationByApplyingConfiguration(
    const UIImageSymbolConfigurationPtr& other) const {
  auto merged = std::make_shared<UIImageSymbolConfiguration>(*this);
  if (!other) return merged;
  if (other->pointSize_ > 0) merged->pointSize_ = other->pointSize_;
  if (other->weight_ != UIImageSymbolWeightUnspecified) merged->weight_ = other->weight_;
  if (other->scale_ != UIImageSymbolScaleUnspecified) merged->scale_ = other->scale_;
  return merged;
}

UIImageSymbolWeight UIImageSymbolConfiguration::resolvedWeight() const {
  return weight_ == UIImageSymbolWeightUnspecified ? UIImageSymbolWeightRegular : weight_;
}

double UIImageSymbolConfiguration::resolvedScaleFactor() const {
  switch (scale_) {
    case UIImageSymbolScaleSmall:
      return 0.78;
    case UIImageSymbolScaleLarge:
      return 1.29;
    default:
      return 1;
  }
}

bool UIImageSymbolConfiguration::isEqual(const NSObject& other) const {
  auto* c = dynamic_cast<const UIImageSymbolConfiguration*>(&other);
  return c && c->pointSize_ == pointSize_ && c->weight_ == weight_ && c->scale_ == scale_;
}

size_t UIImageSymbolConfiguration::hash() const {
  return std::hash<double>()(pointSize_) ^ (size_t(weight_) << 4) ^ (size_t(scale_ + 1) << 8);
}

std::string UIImageSymbolConfiguration::description() const {
  char text[120];
  std::snprintf(text, sizeof text, "<UIImageSymbolConfiguration: size=%g weight=%d scale=%d>",
                pointSize_, int(weight_), int(scale_));
  return text;
}

// Symbols -------------------------------------------------------------------

namespace {

// A symbol's box in points, its stroke width, and where its strokes may
// reach (the box less half a stroke on every side).
struct SymbolBox {
  double width, height, line;
  double left() const { return line / 2; }
  double top() const { return line / 2; }
  double right() const { return width - line / 2; }
  double bottom() const { return height - line / 2; }
  double innerWidth() const { return width - line; }
  double innerHeight() const { return height - line; }
};

struct Symbol {
  double width, height;  // in ems of the point size
  void (*draw)(const CGContextRef&, const SymbolBox&);
};

void strokeRound(const CGContextRef& c, double width) {
  CGContextSetLineWidth(c, width);
  CGContextSetLineCap(c, kCGLineCapRound);
  CGContextSetLineJoin(c, kCGLineJoinRound);
  CGContextStrokePath(c);
}

// A filled arrowhead whose tip is at `tip`, pointing along `angle`
// (radians, y down), as wide as `size` at its base.
void fillArrowhead(const CGContextRef& c, CGPoint tip, double angle, double size) {
  double back = angle + M_PI;
  CGPoint base = CGPointMake(tip.x + std::cos(back) * size, tip.y + std::sin(back) * size);
  double nx = -std::sin(angle) * size * 0.6, ny = std::cos(angle) * size * 0.6;
  CGContextBeginPath(c);
  CGContextMoveToPoint(c, tip.x, tip.y);
  CGContextAddLineToPoint(c, base.x + nx, base.y + ny);
  CGContextAddLineToPoint(c, base.x - nx, base.y - ny);
  CGContextClosePath(c);
  CGContextFillPath(c);
}

void drawCheckmark(const CGContextRef& c, const SymbolBox& b) {
  CGContextBeginPath(c);
  CGContextMoveToPoint(c, b.left(), b.top() + 0.56 * b.innerHeight());
  CGContextAddLineToPoint(c, b.left() + 0.36 * b.innerWidth(), b.bottom());
  CGContextAddLineToPoint(c, b.right(), b.top());
  strokeRound(c, b.line);
}

void drawChevronLeft(const CGContextRef& c, const SymbolBox& b) {
  CGContextBeginPath(c);
  CGContextMoveToPoint(c, b.right(), b.top());
  CGContextAddLineToPoint(c, b.left(), b.top() + b.innerHeight() / 2);
  CGContextAddLineToPoint(c, b.right(), b.bottom());
  strokeRound(c, b.line * 1.2);
}

void drawXmark(const CGContextRef& c, const SymbolBox& b) {
  CGContextBeginPath(c);
  CGContextMoveToPoint(c, b.left(), b.top());
  CGContextAddLineToPoint(c, b.right(), b.bottom());
  CGContextMoveToPoint(c, b.right(), b.top());
  CGContextAddLineToPoint(c, b.left(), b.bottom());
  strokeRound(c, b.line);
}

// An open circle turning anticlockwise: it starts at the top, runs round
// clockwise to the upper left, and the head at the top points left.
void drawArrowCounterclockwise(const CGContextRef& c, const SymbolBox& b) {
  double head = b.line * 2.6;
  double r = std::min(b.innerWidth(), b.innerHeight() - head / 2) / 2;
  CGPoint centre = CGPointMake(b.width / 2, b.height - b.line / 2 - r);
  CGContextBeginPath(c);
  CGContextAddArc(c, centre.x, centre.y, r, -M_PI / 2, M_PI * 1.15, false);
  strokeRound(c, b.line);
  fillArrowhead(c, CGPointMake(centre.x - head * 0.75, centre.y - r), M_PI, head);
}

// A filled rounded square with an arrow above it bending over to the left.
void drawRotateLeft(const CGContextRef& c, const SymbolBox& b) {
  double side = 0.66 * b.width;
  CGRect square = CGRectMake(0, b.height - side, side, side);
  CGContextAddPath(c, CGPathCreateWithRoundedRect(square, side * 0.16, side * 0.16, nullptr));
  CGContextFillPath(c);
  double head = b.line * 2.4;
  double r = (b.height - side) * 0.62;
  CGPoint centre = CGPointMake(b.width - b.line / 2 - r, b.height - side - b.line);
  CGContextBeginPath(c);
  CGContextAddArc(c, centre.x, centre.y, r, 0, -M_PI / 2, true);
  CGContextAddLineToPoint(c, centre.x - r * 0.4, centre.y - r);
  strokeRound(c, b.line);
  fillArrowhead(c, CGPointMake(centre.x - r * 0.4 - head * 0.8, centre.y - r), M_PI, head);
}

void drawRotateRight(const CGContextRef& c, const SymbolBox& b) {
  CGContextSaveGState(c);
  CGContextTranslateCTM(c, b.width, 0);
  CGContextScaleCTM(c, -1, 1);
  drawRotateLeft(c, b);
  CGContextRestoreGState(c);
}

// A filled rounded frame with two corner brackets cut out of it.
void drawAspectRatio(const CGContextRef& c, const SymbolBox& b) {
  CGRect frame = CGRectMake(0, 0, b.width, b.height);
  CGContextAddPath(c, CGPathCreateWithRoundedRect(frame, b.height * 0.18, b.height * 0.18,
                                                  nullptr));
  CGContextFillPath(c);
  double inset = b.height * 0.24, armX = b.width * 0.22, armY = b.height * 0.22;
  CGContextSaveGState(c);
  CGContextSetBlendMode(c, kCGBlendModeClear);
  CGContextBeginPath(c);
  CGContextMoveToPoint(c, inset, inset + armY);
  CGContextAddLineToPoint(c, inset, inset);
  CGContextAddLineToPoint(c, inset + armX, inset);
  CGContextMoveToPoint(c, b.width - inset, b.height - inset - armY);
  CGContextAddLineToPoint(c, b.width - inset, b.height - inset);
  CGContextAddLineToPoint(c, b.width - inset - armX, b.height - inset);
  strokeRound(c, b.line * 0.9);
  CGContextRestoreGState(c);
}

const std::map<std::string, Symbol>& symbols() {
  static const std::map<std::string, Symbol> all = {
      {"checkmark", {1.0, 0.95, drawCheckmark}},
      {"xmark", {0.8, 0.8, drawXmark}},
      {"chevron.left", {0.55, 1.0, drawChevronLeft}},
      {"arrow.counterclockwise", {0.95, 1.05, drawArrowCounterclockwise}},
      {"rotate.left.fill", {1.0, 1.15, drawRotateLeft}},
      {"rotate.right.fill", {1.0, 1.15, drawRotateRight}},
      {"aspectratio.fill", {1.3, 1.0, drawAspectRatio}},
  };
  return all;
}

// Stroke width in ems: thin at ultra light, heavy at black.
double strokeEms(UIImageSymbolWeight weight) { return 0.035 + 0.012 * double(weight); }

}  // namespace

UIImagePtr UIImage::systemImageNamed(const std::string& name) {
  return systemImageNamed(name, nullptr);
}

UIImagePtr UIImage::systemImageNamed(const std::string& name,
                                     const std::shared_ptr<UIImageSymbolConfiguration>& given) {
  auto found = symbols().find(name);
  if (found == symbols().end()) return nullptr;
  const Symbol& symbol = found->second;
  auto config = given ? given : UIImageSymbolConfiguration::unspecifiedConfiguration();
  const double em = config->resolvedPointSize() * config->resolvedScaleFactor();
  SymbolBox box{std::round(symbol.width * em * 2) / 2, std::round(symbol.height * em * 2) / 2,
                strokeEms(config->resolvedWeight()) * em};
  const double scale = UIScreen::mainScreen()->scale();
  auto context = UIGraphicsCreateImageContext(CGSizeMake(box.width, box.height), false, scale);
  if (!context) return nullptr;
  CGContextSetRGBFillColor(context, 0, 0, 0, 1);
  CGContextSetRGBStrokeColor(context, 0, 0, 0, 1);
  symbol.draw(context, box);

  auto image = std::make_shared<UIImage>(CGBitmapContextCreateImage(context), scale,
                                         UIImageOrientationUp);
  image->renderingMode_ = UIImageRenderingModeAlwaysTemplate;
  image->symbolName_ = name;
  image->symbolConfiguration_ = config;
  // Symbols sit centred on the middle of the capitals of text of their size.
  double capHeight = UIFont::systemFontOfSize(em)->capHeight();
  image->baselineOffset_ = std::max(0.0, box.height / 2 - capHeight / 2);
  return image;
}

UIImagePtr UIImage::imageByApplyingSymbolConfiguration(
    const std::shared_ptr<UIImageSymbolConfiguration>& config) const {
  if (!isSymbolImage()) return std::make_shared<UIImage>(*this);
  auto redrawn = systemImageNamed(symbolName_,
                                  symbolConfiguration_->configurationByApplyingConfiguration(config));
  if (redrawn && renderingMode_ != UIImageRenderingModeAutomatic) {
    redrawn->renderingMode_ = renderingMode_;
  }
  return redrawn;
}

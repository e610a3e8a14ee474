#include "platform/uikit/UIGraphicsImageRenderer.h"

#include <cmath>

#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"

UIGraphicsImageRendererFormat::UIGraphicsImageRendererFormat()
    : scale_(UIScreen::mainScreen()->scale()) {}

std::shared_ptr<UIGraphicsImageRendererFormat> UIGraphicsImageRendererFormat::defaultFormat() {
  return std::make_shared<UIGraphicsImageRendererFormat>();
}

std::shared_ptr<UIGraphicsImageRendererFormat> UIGraphicsImageRendererFormat::preferredFormat() {
  auto format = std::make_shared<UIGraphicsImageRendererFormat>();
  format->setPreferredRange(UIGraphicsImageRendererFormatRangeStandard);
  return format;
}

std::shared_ptr<UIImage> UIGraphicsImageRendererContext::currentImage() const {
  return UIImage::imageWithCGImage(CGBitmapContextCreateImage(context_), scale_,
                                   UIImageOrientationUp);
}

void UIGraphicsImageRendererContext::fillRect(CGRect rect) const {
  CGContextFillRect(context_, rect);
}

void UIGraphicsImageRendererContext::fillRect(CGRect rect, CGBlendMode mode) const {
  CGContextSaveGState(context_);
  CGContextSetBlendMode(context_, mode);
  CGContextFillRect(context_, rect);
  CGContextRestoreGState(context_);
}

void UIGraphicsImageRendererContext::clipToRect(CGRect rect) const {
  CGContextClipToRect(context_, rect);
}

UIGraphicsImageRenderer::UIGraphicsImageRenderer(CGSize size)
    : UIGraphicsImageRenderer(size, UIGraphicsImageRendererFormat::preferredFormat()) {}

UIGraphicsImageRenderer::UIGraphicsImageRenderer(
    CGSize size, std::shared_ptr<UIGraphicsImageRendererFormat> format)
    : size_(size), format_(std::make_shared<UIGraphicsImageRendererFormat>()) {
  if (format) *format_ = *format;
}

std::shared_ptr<UIImage> UIGraphicsImageRenderer::imageWithActions(const Actions& actions) const {
  // The same rule as the image-context functions, so the context and the image agree.
  double scale = format_->scale() > 0 && std::isfinite(format_->scale())
                     ? format_->scale()
                     : UIScreen::mainScreen()->scale();
  CGContextRef context = UIGraphicsCreateImageContext(size_, format_->opaque(), scale);
  if (!context) return std::make_shared<UIImage>();
  UIGraphicsImageRendererContext rendererContext(context, scale);
  UIGraphicsPushContext(context);
  CGContextSaveGState(context);
  if (actions) actions(rendererContext);
  CGContextRestoreGState(context);
  UIGraphicsPopContext();
  return rendererContext.currentImage();
}

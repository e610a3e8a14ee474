#include "image_loading/transformers/internal/ILGraphicsImageRenderer.h"

#include "platform/foundation/Fatal.h"
#include "platform/uikit/UIImage.h"

ILGraphicsImageRendererFormat::ILGraphicsImageRendererFormat()
    : uiformat_(std::make_shared<UIGraphicsImageRendererFormat>()) {}

std::shared_ptr<ILGraphicsImageRendererFormat> ILGraphicsImageRendererFormat::preferredFormat() {
  return std::shared_ptr<ILGraphicsImageRendererFormat>(
      new ILGraphicsImageRendererFormat(UIGraphicsImageRendererFormat::preferredFormat()));
}

ILGraphicsImageRenderer::ILGraphicsImageRenderer(CGSize size)
    : ILGraphicsImageRenderer(size, ILGraphicsImageRendererFormat::preferredFormat()) {}

ILGraphicsImageRenderer::ILGraphicsImageRenderer(
    CGSize size, std::shared_ptr<ILGraphicsImageRendererFormat> format)
    : size_(size), format_(std::move(format)) {
  NSParameterAssert(format_);
  uirenderer_ = std::make_shared<UIGraphicsImageRenderer>(size_, format_->uiformat());
}

std::shared_ptr<UIImage> ILGraphicsImageRenderer::imageWithActions(const Actions& actions) const {
  NSParameterAssert(actions);
  return uirenderer_->imageWithActions(
      [&actions](UIGraphicsImageRendererContext& context) { actions(context.CGContext()); });
}

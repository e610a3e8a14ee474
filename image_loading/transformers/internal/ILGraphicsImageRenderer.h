#pragma once

// The library's drawing layer: a size and a format (scale, opaqueness,
// range) in, a block drawing into a Core Graphics context, an image out.

#include <functional>
#include <memory>

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSObject.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"

class UIImage;

class ILGraphicsImageRendererFormat : public NSObject {
 public:
  // The platform's plain defaults.
  ILGraphicsImageRendererFormat();
  // What suits the main screen.
  static std::shared_ptr<ILGraphicsImageRendererFormat> preferredFormat();

  double scale() const { return uiformat_->scale(); }
  void setScale(double scale) { uiformat_->setScale(scale); }
  bool opaque() const { return uiformat_->opaque(); }
  void setOpaque(bool opaque) { uiformat_->setOpaque(opaque); }
  int64_t preferredRange() const { return static_cast<int64_t>(uiformat_->preferredRange()); }
  void setPreferredRange(int64_t range) {
    uiformat_->setPreferredRange(static_cast<UIGraphicsImageRendererFormatRange>(range));
  }
  const std::shared_ptr<UIGraphicsImageRendererFormat>& uiformat() const { return uiformat_; }

 private:
  explicit ILGraphicsImageRendererFormat(std::shared_ptr<UIGraphicsImageRendererFormat> format)
      : uiformat_(std::move(format)) {}
  std::shared_ptr<UIGraphicsImageRendererFormat> uiformat_;
};

class ILGraphicsImageRenderer : public NSObject {
 public:
  using Actions = std::function<void(const CGContextRef&)>;

  explicit ILGraphicsImageRenderer(CGSize size);
  ILGraphicsImageRenderer(CGSize size, std::shared_ptr<ILGraphicsImageRendererFormat> format);

  CGSize size() const { return size_; }
  const std::shared_ptr<ILGraphicsImageRendererFormat>& format() const { return format_; }
  // Calls `actions` once with the drawing context.
  std::shared_ptr<UIImage> imageWithActions(const Actions& actions) const;

 private:
  CGSize size_;
  std::shared_ptr<ILGraphicsImageRendererFormat> format_;
  std::shared_ptr<UIGraphicsImageRenderer> uirenderer_;
};

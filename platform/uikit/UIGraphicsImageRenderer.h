#pragma once

// Block-based image drawing: a renderer of a size in points and a format
// (scale, opaqueness, colour range) hands a fresh context to a block and
// returns what was drawn as an image. While the block runs its context is the
// current UIKit context, so images and paths draw into it.

#include <functional>
#include <memory>

#include "platform/coregraphics/CGContext.h"

class UIImage;

enum UIGraphicsImageRendererFormatRange : int64_t {
  UIGraphicsImageRendererFormatRangeUnspecified = -1,
  UIGraphicsImageRendererFormatRangeAutomatic = 0,
  UIGraphicsImageRendererFormatRangeExtended = 1,
  UIGraphicsImageRendererFormatRangeStandard = 2,
};

class UIGraphicsImageRendererFormat : public NSObject {
 public:
  // The main screen's scale, not opaque, automatic range.
  UIGraphicsImageRendererFormat();
  static std::shared_ptr<UIGraphicsImageRendererFormat> defaultFormat();
  // What suits the main screen: its scale, not opaque, standard range (the
  // screen shows no extended range).
  static std::shared_ptr<UIGraphicsImageRendererFormat> preferredFormat();

  double scale() const { return scale_; }
  void setScale(double scale) { scale_ = scale; }
  bool opaque() const { return opaque_; }
  void setOpaque(bool opaque) { opaque_ = opaque; }
  UIGraphicsImageRendererFormatRange preferredRange() const { return range_; }
  void setPreferredRange(UIGraphicsImageRendererFormatRange range) { range_ = range; }

  std::string className() const override { return "UIGraphicsImageRendererFormat"; }

 private:
  double scale_;
  bool opaque_ = false;
  UIGraphicsImageRendererFormatRange range_ = UIGraphicsImageRendererFormatRangeAutomatic;
};

class UIGraphicsImageRendererContext {
 public:
  UIGraphicsImageRendererContext(CGContextRef context, double scale)
      : context_(std::move(context)), scale_(scale) {}
  const CGContextRef& CGContext() const { return context_; }
  // What has been drawn so far.
  std::shared_ptr<UIImage> currentImage() const;
  void fillRect(CGRect rect) const;
  void fillRect(CGRect rect, CGBlendMode mode) const;
  void clipToRect(CGRect rect) const;

 private:
  CGContextRef context_;
  double scale_;
};

class UIGraphicsImageRenderer : public NSObject {
 public:
  using Actions = std::function<void(UIGraphicsImageRendererContext&)>;

  explicit UIGraphicsImageRenderer(CGSize size);
  UIGraphicsImageRenderer(CGSize size, std::shared_ptr<UIGraphicsImageRendererFormat> format);

  CGSize size() const { return size_; }
  // A copy of the format given; changing it later does not change this renderer.
  const std::shared_ptr<UIGraphicsImageRendererFormat>& format() const { return format_; }

  // An image of the renderer's size at the format's scale; an empty size
  // gives an image without a bitmap.
  std::shared_ptr<UIImage> imageWithActions(const Actions& actions) const;

  std::string className() const override { return "UIGraphicsImageRenderer"; }

 private:
  CGSize size_;
  std::shared_ptr<UIGraphicsImageRendererFormat> format_;
};

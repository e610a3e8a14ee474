#include "platform/uikit/UIGraphics.h"

#include <cmath>
#include <vector>

#include "platform/foundation/OSLog.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"

namespace {

struct Entry {
  CGContextRef context;
  double scale;
  bool imageContext;
};

std::vector<Entry>& contextStack() {
  thread_local std::vector<Entry> stack;
  return stack;
}

double resolvedScale(double scale) {
  if (scale > 0 && std::isfinite(scale)) return scale;
  return UIScreen::mainScreen()->scale();
}

}  // namespace

CGContextRef UIGraphicsCreateImageContext(CGSize size, bool opaque, double scale) {
  scale = resolvedScale(scale);
  double w = std::ceil(size.width * scale - 1e-9), h = std::ceil(size.height * scale - 1e-9);
  if (!(w >= 1 && h >= 1) || w > (1 << 24) || h > (1 << 24)) return nullptr;
  uint32_t info = (opaque ? kCGImageAlphaNoneSkipFirst : kCGImageAlphaPremultipliedFirst) |
                  kCGBitmapByteOrder32Host;
  auto context = CGBitmapContextCreate(nullptr, static_cast<size_t>(w), static_cast<size_t>(h), 8,
                                       0, CGColorSpaceCreateWithName(kCGColorSpaceSRGB), info);
  if (!context) return nullptr;
  CGContextTranslateCTM(context, 0, h);
  CGContextScaleCTM(context, scale, -scale);
  return context;
}

CGContextRef UIGraphicsGetCurrentContext() {
  auto& stack = contextStack();
  return stack.empty() ? nullptr : stack.back().context;
}

void UIGraphicsPushContext(const CGContextRef& context) {
  if (context) contextStack().push_back({context, 1, false});
}

void UIGraphicsPopContext() {
  auto& stack = contextStack();
  if (!stack.empty()) stack.pop_back();
}

void UIGraphicsBeginImageContext(CGSize size) {
  UIGraphicsBeginImageContextWithOptions(size, false, 1.0);
}

void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, double scale) {
  scale = resolvedScale(scale);
  auto context = UIGraphicsCreateImageContext(size, opaque, scale);
  if (!context) {
    NSLog("UIGraphicsBeginImageContext() failed to allocate CGBitmapContext: size=" +
          NSStringFromCGSize(size) + ", scale=" + std::to_string(scale));
    return;
  }
  contextStack().push_back({context, scale, true});
}

std::shared_ptr<UIImage> UIGraphicsGetImageFromCurrentImageContext() {
  auto& stack = contextStack();
  if (stack.empty() || !stack.back().imageContext) return nullptr;
  return UIImage::imageWithCGImage(CGBitmapContextCreateImage(stack.back().context),
                                   stack.back().scale, UIImageOrientationUp);
}

void UIGraphicsEndImageContext() {
  auto& stack = contextStack();
  if (!stack.empty() && stack.back().imageContext) stack.pop_back();
}

void UIRectFill(CGRect rect) { UIRectFillUsingBlendMode(rect, kCGBlendModeCopy); }

void UIRectFillUsingBlendMode(CGRect rect, CGBlendMode mode) {
  CGContextRef context = UIGraphicsGetCurrentContext();
  if (!context) return;
  CGContextSaveGState(context);
  CGContextSetBlendMode(context, mode);
  CGContextFillRect(context, rect);
  CGContextRestoreGState(context);
}

void UIRectClip(CGRect rect) { CGContextClipToRect(UIGraphicsGetCurrentContext(), rect); }

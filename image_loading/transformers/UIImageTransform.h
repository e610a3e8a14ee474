#pragma once

// Image operations that transformers apply after a load and callers may use
// directly. Each returns a new image (or the receiver where said) and leaves
// the receiver unchanged; results keep its scale and orientation. Images
// backed by a Core Image image are transformed with Core Image and stay so;
// bitmap images are redrawn through ILGraphicsImageRenderer, and their blur
// is a real three-pass box blur (close to a Gaussian).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coregraphics/CGCompositor.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGGeometry.h"

class UIImage;
class UIColor;
class CIFilter;
using UIImagePtr = std::shared_ptr<UIImage>;
using UIColorPtr = std::shared_ptr<UIColor>;

// 0 fill (stretch), 1 aspect fit, 2 aspect fill.
using ILImageScaleMode = int64_t;
inline constexpr ILImageScaleMode ILImageScaleModeFill = 0;
inline constexpr ILImageScaleMode ILImageScaleModeAspectFit = 1;
inline constexpr ILImageScaleMode ILImageScaleModeAspectFill = 2;

// The rectangle an image of `imageSize` takes in `rect` under the mode; a
// zero-size rectangle when nothing would be drawn.
CGRect ILImageDrawRect(CGSize imageSize, CGRect rect, ILImageScaleMode scaleMode);

void il_drawInRect(const UIImage& image, CGRect rect, const CGContextRef& context,
                   ILImageScaleMode scaleMode, bool clipsToBounds);
UIImagePtr il_resizedImageWithSize(const UIImagePtr& image, CGSize size,
                                   ILImageScaleMode scaleMode);
// `rect` in points.
UIImagePtr il_croppedImageWithRect(const UIImagePtr& image, CGRect rect);
UIImagePtr il_roundedCornerImageWithRadius(const UIImagePtr& image, double cornerRadius,
                                           uint64_t corners, double borderWidth,
                                           const UIColorPtr& borderColor);
// Radians.
UIImagePtr il_rotatedImageWithAngle(const UIImagePtr& image, double angle, bool fitSize);
UIImagePtr il_flippedImageWithHorizontal(const UIImagePtr& image, bool horizontal, bool vertical);
UIImagePtr il_tintedImageWithColor(const UIImagePtr& image, const UIColorPtr& color,
                                   CGBlendMode blendMode = kCGBlendModeSourceIn);
// Pixel coordinates; nil outside the bitmap, for negative or NaN values too.
UIColorPtr il_colorAtPoint(const UIImagePtr& image, CGPoint point);
std::optional<std::vector<UIColorPtr>> il_colorsWithRect(const UIImagePtr& image, CGRect rect);
// Radius in points.
UIImagePtr il_blurredImageWithRadius(const UIImagePtr& image, double blurRadius);

// The filter run over the image (its Core Image image, or its bitmap), the
// output rendered to a bitmap image; nil without input or output.
UIImagePtr il_filteredImageWithFilter(const UIImagePtr& image,
                                      const std::shared_ptr<CIFilter>& filter);

// "#aarrggbb", lower case.
std::string il_hexString(const UIColor& color);

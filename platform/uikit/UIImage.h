#pragma once

// Images as UIKit has them: a bitmap with a scale (pixels per point) and an
// orientation that says how the bitmap is turned for display, or an animated
// image (a list of frames and a total duration, drawn as its first frame).
// Sizes are in points of the displayed, upright image.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGTypes.h"
#include "platform/foundation/NSData.h"
#include "platform/uikit/UIGeometry.h"
#include "platform/uikit/UITraitCollection.h"

class NSBundle;

class CIImage;
using CIImageRef = std::shared_ptr<CIImage>;

class UIImage;
using UIImagePtr = std::shared_ptr<UIImage>;
class UIImageSymbolConfiguration;

// Raw values as on the platform.
enum UIImageOrientation : int64_t {
  UIImageOrientationUp = 0,
  UIImageOrientationDown = 1,           // turned 180°
  UIImageOrientationLeft = 2,           // turned 90° anticlockwise
  UIImageOrientationRight = 3,          // turned 90° clockwise
  UIImageOrientationUpMirrored = 4,     // flipped left to right
  UIImageOrientationDownMirrored = 5,   // flipped top to bottom
  UIImageOrientationLeftMirrored = 6,   // transposed
  UIImageOrientationRightMirrored = 7,  // transposed the other way
};

enum UIImageRenderingMode : int64_t {
  UIImageRenderingModeAutomatic = 0,
  UIImageRenderingModeAlwaysOriginal = 1,
  UIImageRenderingModeAlwaysTemplate = 2,
};

// How the middle parts of a resizable image fill their room.
enum UIImageResizingMode : int64_t {
  UIImageResizingModeTile = 0,
  UIImageResizingModeStretch = 1,
};

class UIImage : public NSObject {
 public:
  // An empty image: no bitmap, size zero.
  UIImage() = default;
  UIImage(CGImageRef image, double scale, UIImageOrientation orientation);

  // nullptr for a null bitmap.
  static UIImagePtr imageWithCGImage(const CGImageRef& image);
  static UIImagePtr imageWithCGImage(const CGImageRef& image, double scale,
                                     UIImageOrientation orientation);
  // Backed by a Core Image image: no bitmap of its own (CGImage() is null);
  // drawn from the image's pixels. nullptr for a null image.
  static UIImagePtr imageWithCIImage(const CIImageRef& image);
  static UIImagePtr imageWithCIImage(const CIImageRef& image, double scale,
                                     UIImageOrientation orientation);
  // The first image of the data, turned as its properties say; nullptr for
  // data that does not decode.
  static UIImagePtr imageWithData(const NSDataPtr& data);
  static UIImagePtr imageWithData(const NSDataPtr& data, double scale);
  // Scale from an "@2x"-style suffix of the file name, else 1.
  static UIImagePtr imageWithContentsOfFile(const std::string& path);
  // A file of the main bundle: the name as given, or with ".png" / ".jpg"
  // and the screen's scale suffix. Found images are kept for later calls.
  static UIImagePtr imageNamed(const std::string& name);
  // The same in `bundle` (the main bundle when null), preferring the scale
  // suffix of the traits' display scale (the screen's when unset).
  static UIImagePtr imageNamed(const std::string& name, const std::shared_ptr<NSBundle>& bundle,
                               const std::optional<UITraitCollection>& traits);
  // nullptr for an empty list. Scale, orientation and bitmap of the first frame.
  static UIImagePtr animatedImageWithImages(const std::vector<UIImagePtr>& images, double duration);
  // A system symbol drawn as a template at the configuration's point size,
  // weight and scale, at the main screen's scale; nullptr for a name this
  // system has no symbol for ("checkmark", "xmark", "arrow.counterclockwise",
  // "rotate.left.fill", "rotate.right.fill", "aspectratio.fill").
  static UIImagePtr systemImageNamed(const std::string& name);
  static UIImagePtr systemImageNamed(const std::string& name,
                                     const std::shared_ptr<UIImageSymbolConfiguration>& config);

  const CGImageRef& CGImage() const { return cgImage_; }
  const CIImageRef& CIImage() const { return ciImage_; }
  double scale() const { return scale_; }
  UIImageOrientation imageOrientation() const { return orientation_; }
  // Points, with width and height swapped for the quarter-turn orientations.
  CGSize size() const;
  // Present for animated images only.
  const std::optional<std::vector<UIImagePtr>>& images() const { return images_; }
  double duration() const { return duration_; }
  UIImageRenderingMode renderingMode() const { return renderingMode_; }
  UIImagePtr imageWithRenderingMode(UIImageRenderingMode mode) const;

  // Resizable images draw in nine parts: the corners (the cap insets, in
  // points) as they are, the edges stretched or tiled along their length,
  // the middle both ways. Insets are clamped to the image.
  UIImagePtr resizableImageWithCapInsets(UIEdgeInsets insets) const;
  UIImagePtr resizableImageWithCapInsets(UIEdgeInsets insets, UIImageResizingMode mode) const;
  const UIEdgeInsets& capInsets() const { return capInsets_; }
  UIImageResizingMode resizingMode() const { return resizingMode_; }
  bool isResizable() const { return resizable_; }

  // Symbols: the name and configuration they were drawn from.
  bool isSymbolImage() const { return !symbolName_.empty(); }
  const std::string& symbolName() const { return symbolName_; }
  const std::shared_ptr<UIImageSymbolConfiguration>& symbolConfiguration() const {
    return symbolConfiguration_;
  }
  // A symbol redrawn with `config` laid over its own; other images as they are.
  UIImagePtr imageByApplyingSymbolConfiguration(
      const std::shared_ptr<UIImageSymbolConfiguration>& config) const;
  UIImagePtr imageWithConfiguration(
      const std::shared_ptr<UIImageSymbolConfiguration>& config) const {
    return imageByApplyingSymbolConfiguration(config);
  }

  // Points from the image's bottom edge up to the baseline it sits on when
  // laid out with text; symbols have one, other images only when given.
  bool hasBaseline() const { return baselineOffset_.has_value(); }
  double baselineOffsetFromBottom() const { return baselineOffset_.value_or(0); }
  UIImagePtr imageWithBaselineOffsetFromBottom(double offset) const;
  UIImagePtr imageWithoutBaseline() const;
  bool isHighDynamicRange() const;

  // A copy whose bitmap is decoded into the display's own layout; nullptr
  // without a bitmap or when its pixels cannot be made.
  UIImagePtr imageByPreparingForDisplay() const;
  // Drawn upright at `size` points (at this image's scale); nullptr without a
  // bitmap, when its pixels cannot be made, or for an empty size.
  UIImagePtr imageByPreparingThumbnailOfSize(CGSize size) const;

  // Into the current UIKit context, turned as the orientation says.
  void drawInRect(CGRect rect) const;
  void drawInRect(CGRect rect, CGBlendMode mode, double alpha) const;
  void drawAtPoint(CGPoint point) const;
  void drawAtPoint(CGPoint point, CGBlendMode mode, double alpha) const;
  // The same into a given context (the context's user space is taken as
  // UIKit's: origin top-left).
  void drawInContext(const CGContextRef& context, CGRect rect, CGBlendMode mode,
                     double alpha) const;

  std::string description() const override;
  std::string className() const override { return "UIImage"; }

  // Maps bitmap pixels (origin top-left) to the displayed image's pixels.
  static CGAffineTransform orientationTransform(UIImageOrientation orientation, double width,
                                                double height);

 protected:
  // For subclasses that decide their bitmap after construction.
  void setCGImage(CGImageRef image, double scale, UIImageOrientation orientation);

 private:
  CGImageRef cgImage_;
  CIImageRef ciImage_;
  double scale_ = 1;
  UIImageOrientation orientation_ = UIImageOrientationUp;
  std::optional<std::vector<UIImagePtr>> images_;
  double duration_ = 0;
  UIImageRenderingMode renderingMode_ = UIImageRenderingModeAutomatic;
  std::string symbolName_;
  std::shared_ptr<UIImageSymbolConfiguration> symbolConfiguration_;
  std::optional<double> baselineOffset_;
  bool resizable_ = false;
  UIEdgeInsets capInsets_;
  UIImageResizingMode resizingMode_ = UIImageResizingModeTile;

  void drawNinePart(const CGContextRef& context, CGRect rect, const CGImageRef& bitmap) const;
};

// EXIF orientation (1...8) to UIKit's and back; others map to up / 1.
UIImageOrientation UIImageOrientationFromEXIF(int64_t exif);
int64_t UIImageOrientationToEXIF(UIImageOrientation orientation);

// Encoded image data; nullptr without a bitmap, when its pixels cannot be
// made, or when encoding fails. The orientation travels as the file's
// orientation property.
NSDataPtr UIImagePNGRepresentation(const UIImagePtr& image);
NSDataPtr UIImageJPEGRepresentation(const UIImagePtr& image, double compressionQuality);

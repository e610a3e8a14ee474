#pragma once

// Transformers turn one image into another after a load and describe
// themselves by a key, so a transformed image is cached under its own key.
// Keys print numbers as "%f" would in the C locale (six decimals), so equal
// parameters always give equal keys whatever the process locale.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image_loading/transformers/UIImageTransform.h"
#include "platform/foundation/NSObject.h"

// The key with "-" and the suffix put before its extension (a web URL's path
// is rebuilt with the suffix percent-encoded); "" when either is empty.
std::string ILCacheKeyWithSuffix(const std::string& key, const std::string& suffix);
std::string ILThumbnailCacheKey(const std::string& key, CGSize thumbnailPixelSize,
                                bool preserveAspectRatio);

class ILImageTransformer : public NSObject {
 public:
  virtual std::string transformerKey() const = 0;
  virtual UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                               const std::string& key) const = 0;
  // nullopt: the transformer does not say (metadata is kept).
  virtual std::optional<bool> preserveImageMetadata() const { return std::nullopt; }
};

using ILImageTransformerPtr = std::shared_ptr<ILImageTransformer>;

class ILImagePipelineTransformer : public ILImageTransformer {
 public:
  static std::shared_ptr<ILImagePipelineTransformer> transformerWithTransformers(
      std::vector<ILImageTransformerPtr> transformers);
  static std::string cacheKeyForTransformers(const std::vector<ILImageTransformerPtr>& list);

  const std::vector<ILImageTransformerPtr>& transformers() const { return transformers_; }
  std::string transformerKey() const override { return key_; }
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;
  std::optional<bool> preserveImageMetadata() const override { return false; }

 private:
  std::vector<ILImageTransformerPtr> transformers_;
  std::string key_;
};

// Subclasses override both the key and the transform; the base stops.
class ILImageBaseTransformer : public ILImageTransformer {
 public:
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;
  std::optional<bool> preserveImageMetadata() const override { return preserveImageMetadata_; }
  void setPreserveImageMetadata(bool preserve) { preserveImageMetadata_ = preserve; }

 private:
  bool preserveImageMetadata_ = true;
};

class ILImageRoundCornerTransformer : public ILImageBaseTransformer {
 public:
  static std::shared_ptr<ILImageRoundCornerTransformer> transformerWithRadius(
      double cornerRadius, uint64_t corners, double borderWidth, UIColorPtr borderColor);
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;

  double cornerRadius = 0;
  uint64_t corners = 0;
  double borderWidth = 0;
  UIColorPtr borderColor;
};

class ILImageResizingTransformer : public ILImageBaseTransformer {
 public:
  static std::shared_ptr<ILImageResizingTransformer> transformerWithSize(
      CGSize size, ILImageScaleMode scaleMode);
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;

  CGSize size{};
  ILImageScaleMode scaleMode = ILImageScaleModeFill;
};

class ILImageCroppingTransformer : public ILImageBaseTransformer {
 public:
  static std::shared_ptr<ILImageCroppingTransformer> transformerWithRect(CGRect rect);
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;

  CGRect rect{};
};

class ILImageFlippingTransformer : public ILImageBaseTransformer {
 public:
  static std::shared_ptr<ILImageFlippingTransformer> transformerWithHorizontal(bool horizontal,
                                                                               bool vertical);
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;

  bool horizontal = false;
  bool vertical = false;
};

class ILImageRotationTransformer : public ILImageBaseTransformer {
 public:
  static std::shared_ptr<ILImageRotationTransformer> transformerWithAngle(double angle,
                                                                          bool fitSize);
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;

  double angle = 0;
  bool fitSize = false;
};

class ILImageTintTransformer : public ILImageBaseTransformer {
 public:
  static std::shared_ptr<ILImageTintTransformer> transformerWithColor(
      UIColorPtr color, CGBlendMode blendMode = kCGBlendModeSourceIn);
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;

  UIColorPtr tintColor;
  CGBlendMode blendMode = kCGBlendModeSourceIn;
};

class ILImageBlurTransformer : public ILImageBaseTransformer {
 public:
  static std::shared_ptr<ILImageBlurTransformer> transformerWithRadius(double blurRadius);
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;

  double blurRadius = 0;
};

class ILImageFilterTransformer : public ILImageBaseTransformer {
 public:
  static std::shared_ptr<ILImageFilterTransformer> transformerWithFilter(
      std::shared_ptr<CIFilter> filter);
  // "ILImageFilterTransformer(<filter name>)".
  std::string transformerKey() const override;
  UIImagePtr transformedImageWithImage(const UIImagePtr& image,
                                       const std::string& key) const override;

  std::shared_ptr<CIFilter> filter;
};

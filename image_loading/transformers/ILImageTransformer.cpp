#include "image_loading/transformers/ILImageTransformer.h"

#include <cctype>
#include <charconv>
#include <optional>

#include "image_loading/coders/UIImageMetadata.h"
#include "platform/coreimage/CIFilter.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIImage.h"

namespace {

// "%f" of the C locale, whatever locale the process runs in.
std::string f(double value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  return std::string(text, result.ptr);
}

std::string d(bool value) { return value ? "1" : "0"; }

std::string hex(const UIColorPtr& color) { return color ? il_hexString(*color) : "(null)"; }

// After the last "." of the last path component; "" when there is none.
size_t extensionDot(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return std::string::npos;
  }
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (dot == nameStart || dot + 1 == path.size()) return std::string::npos;
  return dot;
}

}  // namespace

namespace {

// Where the path of a "scheme://authority/path?query#fragment" key lies, by
// the text alone (keys of any length, whether or not they parse as URLs);
// nullopt for keys of no such form and for file URLs.
std::optional<std::pair<size_t, size_t>> urlPathRange(const std::string& key) {
  const size_t separator = key.find("://");
  if (separator == std::string::npos || separator == 0) return std::nullopt;
  if (!std::isalpha(static_cast<unsigned char>(key[0]))) return std::nullopt;
  for (size_t i = 1; i < separator; ++i) {
    const char c = key[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return std::nullopt;
  }
  std::string scheme = key.substr(0, separator);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme == "file") return std::nullopt;
  size_t start = key.find_first_of("/?#", separator + 3);
  if (start == std::string::npos) return std::make_pair(key.size(), key.size());
  if (key[start] != '/') return std::make_pair(start, start);
  const size_t end = key.find_first_of("?#", start);
  return std::make_pair(start, end == std::string::npos ? key.size() : end);
}

}  // namespace

std::string ILCacheKeyWithSuffix(const std::string& key, const std::string& suffix) {
  if (key.empty() || suffix.empty()) return "";
  if (auto range = urlPathRange(key)) {
    // In a URL the suffix goes, percent-encoded, at the end of the path's
    // name, before its extension; the query and fragment stay as they were.
    const std::string path = key.substr(range->first, range->second - range->first);
    const std::string encoded =
        stringByAddingPercentEncodingWithAllowedCharacters(suffix, NSURLAllowedCharacters::Path);
    const size_t dot = extensionDot(path);
    const std::string rebuilt = dot == std::string::npos
                                    ? path + "-" + encoded
                                    : path.substr(0, dot) + "-" + encoded + path.substr(dot);
    return key.substr(0, range->first) + rebuilt + key.substr(range->second);
  }
  const size_t dot = extensionDot(key);
  if (dot == std::string::npos) return key + "-" + suffix;
  return key.substr(0, dot) + "-" + suffix + key.substr(dot);
}

std::string ILThumbnailCacheKey(const std::string& key, CGSize size, bool preserveAspectRatio) {
  return ILCacheKeyWithSuffix(key, "Thumbnail({" + f(size.width) + "," + f(size.height) + "}," +
                                       d(preserveAspectRatio) + ")");
}

// ---- Pipeline ----

std::shared_ptr<ILImagePipelineTransformer> ILImagePipelineTransformer::transformerWithTransformers(
    std::vector<ILImageTransformerPtr> transformers) {
  auto pipeline = std::make_shared<ILImagePipelineTransformer>();
  pipeline->key_ = cacheKeyForTransformers(transformers);
  pipeline->transformers_ = std::move(transformers);
  return pipeline;
}

std::string ILImagePipelineTransformer::cacheKeyForTransformers(
    const std::vector<ILImageTransformerPtr>& list) {
  std::string key;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) key += "-";
    key += list[i]->transformerKey();
  }
  return key;
}

UIImagePtr ILImagePipelineTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                                 const std::string& key) const {
  UIImagePtr current = image;
  for (const auto& transformer : transformers_) {
    if (!current) return nullptr;
    UIImagePtr next = transformer->transformedImageWithImage(current, key);
    if (next && transformer->preserveImageMetadata().value_or(true)) {
      ILImageCopyAssociatedState(current, next);
    }
    current = next;
  }
  return current;
}

// ---- Base ----

std::string ILImageBaseTransformer::transformerKey() const {
  FatalStop("For `ILImageBaseTransformer` subclass, you must override transformerKey method");
}

UIImagePtr ILImageBaseTransformer::transformedImageWithImage(const UIImagePtr&,
                                                             const std::string&) const {
  FatalStop(
      "For `ILImageBaseTransformer` subclass, you must override "
      "transformedImageWithImage:forKey: method");
}

// ---- Concrete transformers ----

std::shared_ptr<ILImageRoundCornerTransformer> ILImageRoundCornerTransformer::transformerWithRadius(
    double cornerRadius, uint64_t corners, double borderWidth, UIColorPtr borderColor) {
  auto t = std::make_shared<ILImageRoundCornerTransformer>();
  t->cornerRadius = cornerRadius;
  t->corners = corners;
  t->borderWidth = borderWidth;
  t->borderColor = std::move(borderColor);
  return t;
}

std::string ILImageRoundCornerTransformer::transformerKey() const {
  return "ILImageRoundCornerTransformer(" + f(cornerRadius) + "," + std::to_string(corners) + "," +
         f(borderWidth) + "," + hex(borderColor) + ")";
}

UIImagePtr ILImageRoundCornerTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                                    const std::string&) const {
  return il_roundedCornerImageWithRadius(image, cornerRadius, corners, borderWidth, borderColor);
}

std::shared_ptr<ILImageResizingTransformer> ILImageResizingTransformer::transformerWithSize(
    CGSize size, ILImageScaleMode scaleMode) {
  auto t = std::make_shared<ILImageResizingTransformer>();
  t->size = size;
  t->scaleMode = scaleMode;
  return t;
}

std::string ILImageResizingTransformer::transformerKey() const {
  return "ILImageResizingTransformer({" + f(size.width) + "," + f(size.height) + "}," +
         std::to_string(static_cast<uint64_t>(scaleMode)) + ")";
}

UIImagePtr ILImageResizingTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                                 const std::string&) const {
  return il_resizedImageWithSize(image, size, scaleMode);
}

std::shared_ptr<ILImageCroppingTransformer> ILImageCroppingTransformer::transformerWithRect(
    CGRect rect) {
  auto t = std::make_shared<ILImageCroppingTransformer>();
  t->rect = rect;
  return t;
}

std::string ILImageCroppingTransformer::transformerKey() const {
  return "ILImageCroppingTransformer({" + f(rect.origin.x) + "," + f(rect.origin.y) + "," +
         f(rect.size.width) + "," + f(rect.size.height) + "})";
}

UIImagePtr ILImageCroppingTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                                 const std::string&) const {
  return il_croppedImageWithRect(image, rect);
}

std::shared_ptr<ILImageFlippingTransformer> ILImageFlippingTransformer::transformerWithHorizontal(
    bool horizontal, bool vertical) {
  auto t = std::make_shared<ILImageFlippingTransformer>();
  t->horizontal = horizontal;
  t->vertical = vertical;
  return t;
}

std::string ILImageFlippingTransformer::transformerKey() const {
  return "ILImageFlippingTransformer(" + d(horizontal) + "," + d(vertical) + ")";
}

UIImagePtr ILImageFlippingTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                                 const std::string&) const {
  return il_flippedImageWithHorizontal(image, horizontal, vertical);
}

std::shared_ptr<ILImageRotationTransformer> ILImageRotationTransformer::transformerWithAngle(
    double angle, bool fitSize) {
  auto t = std::make_shared<ILImageRotationTransformer>();
  t->angle = angle;
  t->fitSize = fitSize;
  return t;
}

std::string ILImageRotationTransformer::transformerKey() const {
  return "ILImageRotationTransformer(" + f(angle) + "," + d(fitSize) + ")";
}

UIImagePtr ILImageRotationTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                                 const std::string&) const {
  return il_rotatedImageWithAngle(image, angle, fitSize);
}

std::shared_ptr<ILImageTintTransformer> ILImageTintTransformer::transformerWithColor(
    UIColorPtr color, CGBlendMode blendMode) {
  auto t = std::make_shared<ILImageTintTransformer>();
  t->tintColor = std::move(color);
  t->blendMode = blendMode;
  return t;
}

std::string ILImageTintTransformer::transformerKey() const {
  return "ILImageTintTransformer(" + hex(tintColor) + "," +
         std::to_string(static_cast<int>(blendMode)) + ")";
}

UIImagePtr ILImageTintTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                             const std::string&) const {
  return il_tintedImageWithColor(image, tintColor, blendMode);
}

std::shared_ptr<ILImageBlurTransformer> ILImageBlurTransformer::transformerWithRadius(
    double blurRadius) {
  auto t = std::make_shared<ILImageBlurTransformer>();
  t->blurRadius = blurRadius;
  return t;
}

std::string ILImageBlurTransformer::transformerKey() const {
  return "ILImageBlurTransformer(" + f(blurRadius) + ")";
}

UIImagePtr ILImageBlurTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                             const std::string&) const {
  return il_blurredImageWithRadius(image, blurRadius);
}

std::shared_ptr<ILImageFilterTransformer> ILImageFilterTransformer::transformerWithFilter(
    std::shared_ptr<CIFilter> filter) {
  auto t = std::make_shared<ILImageFilterTransformer>();
  t->filter = std::move(filter);
  return t;
}

std::string ILImageFilterTransformer::transformerKey() const {
  return "ILImageFilterTransformer(" + (filter ? filter->name() : std::string("(null)")) + ")";
}

UIImagePtr ILImageFilterTransformer::transformedImageWithImage(const UIImagePtr& image,
                                                               const std::string&) const {
  return il_filteredImageWithFilter(image, filter);
}

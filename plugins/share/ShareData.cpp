#include "internal/ShareData.h"

#include <algorithm>
#include <cctype>

#include "platform/foundation/NSByteCountFormatter.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSItemProvider.h"
#include "platform/foundation/Value.h"
#include "platform/linkpresentation/LPLinkMetadata.h"
#include "platform/uikit/UIGraphics.h"

const char* const kShareDataPlaceholderActivityType = "dev.tarnquell.share.placeholder";

namespace {

constexpr double kPreviewImageSide = 120;

int64_t fileSize(const std::string& path) {
  auto attributes = NSFileManager::defaultManager()->attributesOfItemAtPath(path);
  const Value* size = attributes ? attributes->find(NSFileSize) : nullptr;
  return size && size->isNumber() ? size->asInt64() : 0;
}

std::string upperCase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

Value objectValue(std::shared_ptr<NSObject> object) {
  return object ? Value(std::move(object)) : Value();
}

}  // namespace

ShareData::ShareData(std::optional<std::string> subject, std::optional<std::string> text,
                     std::optional<std::string> path, std::optional<std::string> mimeType)
    : subject_(std::move(subject)),
      text_(std::move(text)),
      path_(std::move(path)),
      mimeType_(std::move(mimeType)) {}

std::shared_ptr<ShareData> ShareData::initWithSubject(const std::optional<std::string>& subject,
                                                      std::optional<std::string> text) {
  return std::shared_ptr<ShareData>(
      new ShareData(subject.value_or(""), std::move(text), std::nullopt, std::nullopt));
}

std::shared_ptr<ShareData> ShareData::initWithFile(std::string path,
                                                   std::optional<std::string> mimeType) {
  return std::shared_ptr<ShareData>(
      new ShareData(std::nullopt, std::nullopt, std::move(path), std::move(mimeType)));
}

std::shared_ptr<ShareData> ShareData::initWithFile(std::string path,
                                                   std::optional<std::string> mimeType,
                                                   const std::optional<std::string>& subject) {
  return std::shared_ptr<ShareData>(
      new ShareData(subject.value_or(""), std::nullopt, std::move(path), std::move(mimeType)));
}

bool ShareData::isImageFile() const {
  return path_ && mimeType_ && mimeType_->rfind("image/", 0) == 0;
}

Value ShareData::activityViewControllerPlaceholderItem(UIActivityViewController& controller) {
  return activityViewControllerItemForActivityType(controller,
                                                   std::string(kShareDataPlaceholderActivityType));
}

// A file is always shared as its URL: the MIME type only decides whether the
// sheet's placeholder shows the image, so a file without one (or an image
// that does not decode) still reaches the activity.
Value ShareData::activityViewControllerItemForActivityType(
    UIActivityViewController&, const std::optional<UIActivityType>& activityType) {
  if (!path_) return text_ ? Value(*text_) : Value();
  if (activityType == kShareDataPlaceholderActivityType && isImageFile()) {
    if (auto image = UIImage::imageWithContentsOfFile(*path_)) return objectValue(image);
  }
  return objectValue(NSURL::fileURLWithPath(*path_));
}

std::optional<std::string> ShareData::activityViewControllerSubjectForActivityType(
    UIActivityViewController&, const std::optional<UIActivityType>&) {
  return subject_;
}

UIImagePtr ShareData::activityViewControllerThumbnailImageForActivityType(
    UIActivityViewController&, const std::optional<UIActivityType>&, const CGSize& suggestedSize) {
  if (!isImageFile()) return nullptr;
  return imageWithImage(UIImage::imageWithContentsOfFile(*path_), suggestedSize);
}

UIImagePtr ShareData::imageWithImage(const UIImagePtr& image, CGSize scaledToSize) {
  if (!image) return nullptr;
  UIGraphicsBeginImageContext(scaledToSize);
  image->drawInRect(CGRectMake(0, 0, scaledToSize.width, scaledToSize.height));
  UIImagePtr scaled = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return scaled;
}

std::string ShareData::previewLabel() const {
  std::string size = NSByteCountFormatter::stringFromByteCount(
      fileSize(*path_), NSByteCountFormatterCountStyle::File);
  auto url = NSURL::fileURLWithPath(*path_);
  std::string extension = url ? url->pathExtension() : "";
  return extension.empty() ? size : upperCase(extension) + " \u2022 " + size;
}

std::shared_ptr<LPLinkMetadata> ShareData::activityViewControllerLinkMetadata(
    UIActivityViewController&) {
  auto metadata = std::make_shared<LPLinkMetadata>();
  if (subject_ && !subject_->empty()) {
    metadata->setTitle(subject_);
  } else if (text_ && !text_->empty()) {
    metadata->setTitle(text_);
  }
  if (!path_) return metadata;
  metadata->setOriginalURL(NSURL::fileURLWithPath(previewLabel()));
  if (isImageFile()) {
    auto preview = imageWithImage(UIImage::imageWithContentsOfFile(*path_),
                                  CGSizeMake(kPreviewImageSide, kPreviewImageSide));
    if (preview) metadata->setImageProvider(std::make_shared<NSItemProvider>(preview));
  }
  return metadata;
}

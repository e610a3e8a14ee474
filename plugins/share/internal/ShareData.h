#pragma once

// One item of the share sheet: a text with an optional subject, or a file
// with its MIME type. Image files reach the sheet's preview as images and
// every activity as the file itself.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/uikit/UIActivityItemSource.h"
#include "platform/uikit/UIImage.h"

// The activity type the sheet's placeholder question is asked with.
extern const char* const kShareDataPlaceholderActivityType;

class ShareData : public NSObject, public UIActivityItemSource {
 public:
  // A subject given as null is kept as the empty string.
  static std::shared_ptr<ShareData> initWithSubject(const std::optional<std::string>& subject,
                                                    std::optional<std::string> text);
  // A file item without subject.
  static std::shared_ptr<ShareData> initWithFile(std::string path,
                                                 std::optional<std::string> mimeType);
  static std::shared_ptr<ShareData> initWithFile(std::string path,
                                                 std::optional<std::string> mimeType,
                                                 const std::optional<std::string>& subject);

  const std::optional<std::string>& subject() const { return subject_; }
  const std::optional<std::string>& text() const { return text_; }
  const std::optional<std::string>& path() const { return path_; }
  const std::optional<std::string>& mimeType() const { return mimeType_; }

  Value activityViewControllerPlaceholderItem(UIActivityViewController& controller) override;
  Value activityViewControllerItemForActivityType(
      UIActivityViewController& controller,
      const std::optional<UIActivityType>& activityType) override;
  std::optional<std::string> activityViewControllerSubjectForActivityType(
      UIActivityViewController& controller,
      const std::optional<UIActivityType>& activityType) override;
  UIImagePtr activityViewControllerThumbnailImageForActivityType(
      UIActivityViewController& controller, const std::optional<UIActivityType>& activityType,
      const CGSize& suggestedSize) override;
  std::shared_ptr<LPLinkMetadata> activityViewControllerLinkMetadata(
      UIActivityViewController& controller) override;

  // Drawn into a bitmap of exactly `size`; the aspect ratio is not kept.
  static UIImagePtr imageWithImage(const UIImagePtr& image, CGSize scaledToSize);

 private:
  ShareData(std::optional<std::string> subject, std::optional<std::string> text,
            std::optional<std::string> path, std::optional<std::string> mimeType);
  bool isImageFile() const;
  // "JPG • 12 KB", or the size alone for a file without extension.
  std::string previewLabel() const;

  std::optional<std::string> subject_;
  std::optional<std::string> text_;
  std::optional<std::string> path_;
  std::optional<std::string> mimeType_;
};

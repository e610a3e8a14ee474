#pragma once

// The protocol of objects that stand for a share-sheet item: the sheet asks
// them, per activity, what to share, under which subject, with which preview.

#include <memory>
#include <optional>
#include <string>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/ValueFwd.h"

class LPLinkMetadata;
class UIActivityViewController;
class UIImage;

// Activity types are reverse-DNS strings; nullopt stands for "no activity".
using UIActivityType = std::string;

class UIActivityItemSource {
 public:
  virtual ~UIActivityItemSource() = default;

  // Tells the sheet early what kind of item will come (a string, an image, a URL).
  virtual Value activityViewControllerPlaceholderItem(UIActivityViewController& controller) = 0;
  // The object shared with the activity; null shares nothing for this item.
  virtual Value activityViewControllerItemForActivityType(
      UIActivityViewController& controller, const std::optional<UIActivityType>& activityType) = 0;

  // Optional: the defaults answer "not implemented".
  virtual std::optional<std::string> activityViewControllerSubjectForActivityType(
      UIActivityViewController&, const std::optional<UIActivityType>&) {
    return std::nullopt;
  }
  virtual std::optional<std::string> activityViewControllerDataTypeIdentifierForActivityType(
      UIActivityViewController&, const std::optional<UIActivityType>&) {
    return std::nullopt;
  }
  virtual std::shared_ptr<UIImage> activityViewControllerThumbnailImageForActivityType(
      UIActivityViewController&, const std::optional<UIActivityType>&, const CGSize&) {
    return nullptr;
  }
  virtual std::shared_ptr<LPLinkMetadata> activityViewControllerLinkMetadata(
      UIActivityViewController&) {
    return nullptr;
  }
};

#pragma once

// One page of the gallery: a plain mutable record of what the page shows.
// Which content field wins when several are set is the preview factory's
// decision; the item validates nothing and is equal only to itself, so two
// items built from one URL are two pages.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/ValueFwd.h"

class UIImage;
class PHAsset;

class AKPhotoGalleryItem : public NSObject {
 public:
  AKPhotoGalleryItem() = default;
  static std::shared_ptr<AKPhotoGalleryItem> item();
  static std::shared_ptr<AKPhotoGalleryItem> itemWithImage(std::shared_ptr<UIImage> image);
  static std::shared_ptr<AKPhotoGalleryItem> itemWithImageURL(NSURLPtr url);
  static std::shared_ptr<AKPhotoGalleryItem> itemWithVideoURL(NSURLPtr url);
  static std::shared_ptr<AKPhotoGalleryItem> itemWithPdfURL(NSURLPtr url);
  static std::shared_ptr<AKPhotoGalleryItem> itemWithAsset(std::shared_ptr<PHAsset> asset);

  // One item per URL, in order.
  static std::vector<std::shared_ptr<AKPhotoGalleryItem>> itemsWithImageURLs(
      const std::vector<NSURLPtr>& urls);
  // One item per string, in order; a string that is not a URL still makes an
  // item, with no image URL.
  static std::vector<std::shared_ptr<AKPhotoGalleryItem>> itemsWithImageURLStrings(
      const std::vector<std::string>& strings);

  const std::shared_ptr<UIImage>& thumbnail() const { return thumbnail_; }
  void setThumbnail(std::shared_ptr<UIImage> v) { thumbnail_ = std::move(v); }
  const std::shared_ptr<UIImage>& image() const { return image_; }
  void setImage(std::shared_ptr<UIImage> v) { image_ = std::move(v); }
  const NSURLPtr& imageURL() const { return imageURL_; }
  void setImageURL(NSURLPtr v) { imageURL_ = std::move(v); }
  const NSURLPtr& videoURL() const { return videoURL_; }
  void setVideoURL(NSURLPtr v) { videoURL_ = std::move(v); }
  const NSURLPtr& pdfURL() const { return pdfURL_; }
  void setPdfURL(NSURLPtr v) { pdfURL_ = std::move(v); }
  const std::shared_ptr<PHAsset>& asset() const { return asset_; }
  void setAsset(std::shared_ptr<PHAsset> v) { asset_ = std::move(v); }
  const std::optional<std::string>& assetLocalIdentifier() const { return assetLocalIdentifier_; }
  void setAssetLocalIdentifier(std::optional<std::string> v) {
    assetLocalIdentifier_ = std::move(v);
  }
  // A map with string keys, or null when none is set.
  const Value& extraInfo() const;
  void setExtraInfo(Value v);

  std::string className() const override { return "AKPhotoGalleryItem"; }

 private:
  std::shared_ptr<UIImage> thumbnail_;
  std::shared_ptr<UIImage> image_;
  NSURLPtr imageURL_;
  NSURLPtr videoURL_;
  NSURLPtr pdfURL_;
  std::shared_ptr<PHAsset> asset_;
  std::optional<std::string> assetLocalIdentifier_;
  // Held out of line so that the item's header does not need Value's.
  std::shared_ptr<const Value> extraInfo_;
};

using AKPhotoGalleryItemPtr = std::shared_ptr<AKPhotoGalleryItem>;

// The keys of an item's extra information that the image page understands.
struct AKPhotoGalleryItemConstant {
  // A URL of the full-size version of a remote image.
  static const std::string& extraInfoKeyRemoteImageOriginalURL();
  // That image's byte size, an unsigned integer.
  static const std::string& extraInfoKeyRemoteImageOriginalSize();
};

#include "AKPhotoGallery/AKPhotoGalleryItem.h"

#include "platform/foundation/Value.h"
#include "platform/photos/PHAsset.h"
#include "platform/uikit/UIImage.h"

const Value& AKPhotoGalleryItem::extraInfo() const {
  return extraInfo_ ? *extraInfo_ : NullValue();
}

void AKPhotoGalleryItem::setExtraInfo(Value v) {
  extraInfo_ = v.isNull() ? nullptr : std::make_shared<const Value>(std::move(v));
}

std::shared_ptr<AKPhotoGalleryItem> AKPhotoGalleryItem::item() {
  return std::make_shared<AKPhotoGalleryItem>();
}

std::shared_ptr<AKPhotoGalleryItem> AKPhotoGalleryItem::itemWithImage(
    std::shared_ptr<UIImage> image) {
  auto item = AKPhotoGalleryItem::item();
  item->setImage(std::move(image));
  return item;
}

std::shared_ptr<AKPhotoGalleryItem> AKPhotoGalleryItem::itemWithImageURL(NSURLPtr url) {
  auto item = AKPhotoGalleryItem::item();
  item->setImageURL(std::move(url));
  return item;
}

std::shared_ptr<AKPhotoGalleryItem> AKPhotoGalleryItem::itemWithVideoURL(NSURLPtr url) {
  auto item = AKPhotoGalleryItem::item();
  item->setVideoURL(std::move(url));
  return item;
}

std::shared_ptr<AKPhotoGalleryItem> AKPhotoGalleryItem::itemWithPdfURL(NSURLPtr url) {
  auto item = AKPhotoGalleryItem::item();
  item->setPdfURL(std::move(url));
  return item;
}

std::shared_ptr<AKPhotoGalleryItem> AKPhotoGalleryItem::itemWithAsset(
    std::shared_ptr<PHAsset> asset) {
  auto item = AKPhotoGalleryItem::item();
  item->setAsset(std::move(asset));
  return item;
}

std::vector<std::shared_ptr<AKPhotoGalleryItem>> AKPhotoGalleryItem::itemsWithImageURLs(
    const std::vector<NSURLPtr>& urls) {
  std::vector<std::shared_ptr<AKPhotoGalleryItem>> items;
  items.reserve(urls.size());
  for (const auto& url : urls) items.push_back(itemWithImageURL(url));
  return items;
}

std::vector<std::shared_ptr<AKPhotoGalleryItem>> AKPhotoGalleryItem::itemsWithImageURLStrings(
    const std::vector<std::string>& strings) {
  std::vector<std::shared_ptr<AKPhotoGalleryItem>> items;
  items.reserve(strings.size());
  for (const auto& s : strings) items.push_back(itemWithImageURL(NSURL::URLWithString(s)));
  return items;
}

const std::string& AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalURL() {
  static const std::string key = "AKPhotoGalleryItemExtraInfoKeyRemoteImageOriginalURL";
  return key;
}

const std::string& AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalSize() {
  static const std::string key = "AKPhotoGalleryItemExtraInfoKeyRemoteImageOriginalSize";
  return key;
}

#include "UIPasteboard.h"

#include "platform/foundation/Mutex.h"
#include "platform/imageio/UTType.h"

const char* const UIPasteboardNameGeneral = "com.apple.UIKit.pboard.general";
const char* const UIPasteboardTypeText = "public.utf8-plain-text";
const char* const UIPasteboardTypeURL = "public.url";
const char* const UIPasteboardTypeImage = "public.image";

namespace {

bool isImageRepresentation(const std::string& type, const Value& value) {
  if (value.isObject()) return value.objectAs<UIImage>() != nullptr;
  return value.isBytes() && UTTypeConformsTo(type, kUTTypeImage);
}

UIImagePtr imageFrom(const Value& value) {
  if (value.isObject()) return value.objectAs<UIImage>();
  return UIImage::imageWithData(NSData::dataWithBytes(value.asBytes()));
}

UIPasteboard::Item itemWith(const char* type, Value value) {
  return {{Value(type), std::move(value)}};
}

}  // namespace

std::shared_ptr<UIPasteboard> UIPasteboard::generalPasteboard() {
  static const auto general = std::make_shared<UIPasteboard>(UIPasteboardNameGeneral);
  return general;
}

UIPasteboard::UIPasteboard(std::string name) : name_(std::move(name)) {}

int64_t UIPasteboard::changeCount() const {
  MutexLock lock(mutex_);
  return changeCount_;
}

int64_t UIPasteboard::numberOfItems() const {
  MutexLock lock(mutex_);
  return static_cast<int64_t>(items_.size());
}

std::vector<UIPasteboard::Item> UIPasteboard::items() const {
  MutexLock lock(mutex_);
  return items_;
}

void UIPasteboard::setItems(std::vector<Item> items) { replaceItems(std::move(items)); }

void UIPasteboard::replaceItems(std::vector<Item> items) {
  MutexLock lock(mutex_);
  items_ = std::move(items);
  ++changeCount_;
}

std::vector<Value> UIPasteboard::representations(Kind kind) const {
  MutexLock lock(mutex_);
  std::vector<Value> out;
  for (const auto& item : items_) {
    for (const auto& [type, value] : item) {
      if (!type.isString()) continue;
      bool hit = kind == Kind::Text ? type.asString() == UIPasteboardTypeText && value.isString()
                 : kind == Kind::URL
                     ? type.asString() == UIPasteboardTypeURL && value.objectAs<NSURL>() != nullptr
                     : isImageRepresentation(type.asString(), value);
      if (hit) {
        out.push_back(value);
        break;
      }
    }
  }
  return out;
}

std::optional<std::string> UIPasteboard::string() const {
  auto all = strings();
  return all.empty() ? std::nullopt : std::optional<std::string>(all.front());
}

void UIPasteboard::setString(const std::optional<std::string>& string) {
  setStrings(string ? std::vector<std::string>{*string} : std::vector<std::string>{});
}

std::vector<std::string> UIPasteboard::strings() const {
  std::vector<std::string> out;
  for (const auto& v : representations(Kind::Text)) out.push_back(v.asString());
  return out;
}

void UIPasteboard::setStrings(const std::vector<std::string>& strings) {
  std::vector<Item> items;
  for (const auto& s : strings) items.push_back(itemWith(UIPasteboardTypeText, Value(s)));
  replaceItems(std::move(items));
}

bool UIPasteboard::hasStrings() const { return !representations(Kind::Text).empty(); }

NSURLPtr UIPasteboard::URL() const {
  auto all = URLs();
  return all.empty() ? nullptr : all.front();
}

void UIPasteboard::setURL(const NSURLPtr& url) {
  setURLs(url ? std::vector<NSURLPtr>{url} : std::vector<NSURLPtr>{});
}

std::vector<NSURLPtr> UIPasteboard::URLs() const {
  std::vector<NSURLPtr> out;
  for (const auto& v : representations(Kind::URL)) out.push_back(v.objectAs<NSURL>());
  return out;
}

void UIPasteboard::setURLs(const std::vector<NSURLPtr>& urls) {
  std::vector<Item> items;
  for (const auto& url : urls) {
    if (url)
      items.push_back(
          itemWith(UIPasteboardTypeURL, Value(std::static_pointer_cast<NSObject>(url))));
  }
  replaceItems(std::move(items));
}

bool UIPasteboard::hasURLs() const { return !representations(Kind::URL).empty(); }

UIImagePtr UIPasteboard::image() const {
  for (const auto& v : representations(Kind::Image)) {
    if (auto image = imageFrom(v)) return image;
  }
  return nullptr;
}

void UIPasteboard::setImage(const UIImagePtr& image) {
  setImages(image ? std::vector<UIImagePtr>{image} : std::vector<UIImagePtr>{});
}

// Bytes that do not decode are left out.
std::vector<UIImagePtr> UIPasteboard::images() const {
  std::vector<UIImagePtr> out;
  for (const auto& v : representations(Kind::Image)) {
    if (auto image = imageFrom(v)) out.push_back(std::move(image));
  }
  return out;
}

void UIPasteboard::setImages(const std::vector<UIImagePtr>& images) {
  std::vector<Item> items;
  for (const auto& image : images) {
    if (image) {
      items.push_back(
          itemWith(UIPasteboardTypeImage, Value(std::static_pointer_cast<NSObject>(image))));
    }
  }
  replaceItems(std::move(items));
}

bool UIPasteboard::hasImages() const { return !representations(Kind::Image).empty(); }

#pragma once

// The general pasteboard, in process: an ordered list of items, each a map
// from type identifiers to a representation, with a change count that grows
// with every change. Safe to use from any thread.
//
// Representations the convenience accessors understand: text under
// "public.utf8-plain-text" (a string), URLs under "public.url" (an NSURL
// object), images under "public.image" (a UIImage object) or as encoded
// bytes under any image type ("public.png", "public.jpeg", ...). Setting a
// convenience property replaces the whole contents; setting it to nothing
// (nullptr, nullopt or an empty list) empties the pasteboard.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UIImage.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"

extern const char* const UIPasteboardNameGeneral;
extern const char* const UIPasteboardTypeText;   // "public.utf8-plain-text"
extern const char* const UIPasteboardTypeURL;    // "public.url"
extern const char* const UIPasteboardTypeImage;  // "public.image"

class UIPasteboard : public NSObject {
 public:
  // Type identifier to representation.
  using Item = ValueMap;

  static std::shared_ptr<UIPasteboard> generalPasteboard();
  explicit UIPasteboard(std::string name);

  const std::string& name() const { return name_; }
  int64_t changeCount() const;
  int64_t numberOfItems() const;
  std::vector<Item> items() const;
  void setItems(std::vector<Item> items);

  // The first item's text, or nullopt.
  std::optional<std::string> string() const;
  void setString(const std::optional<std::string>& string);
  std::vector<std::string> strings() const;
  void setStrings(const std::vector<std::string>& strings);
  bool hasStrings() const;

  NSURLPtr URL() const;
  void setURL(const NSURLPtr& url);
  std::vector<NSURLPtr> URLs() const;
  void setURLs(const std::vector<NSURLPtr>& urls);
  bool hasURLs() const;

  UIImagePtr image() const;
  void setImage(const UIImagePtr& image);
  std::vector<UIImagePtr> images() const;
  void setImages(const std::vector<UIImagePtr>& images);
  bool hasImages() const;

 private:
  enum class Kind { Text, URL, Image };
  // Each item's first representation of the kind, in item order.
  std::vector<Value> representations(Kind kind) const;
  void replaceItems(std::vector<Item> items);

  const std::string name_;
  mutable Mutex mutex_;  // guards items_ and changeCount_
  std::vector<Item> items_ GUARDED_BY(mutex_);
  int64_t changeCount_ GUARDED_BY(mutex_) = 0;
};

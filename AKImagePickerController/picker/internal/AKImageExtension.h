#pragma once
// The picker's replaceable jobs: previewing in the gallery, taking a photo
// with a presented or an inline camera, and editing a photo. Each job is an
// extension type served by an extension class: one an application
// registered, else the module's default; a picker's extension controller
// makes one instance per type on first use and keeps it.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/ValueFwd.h"

class AKImagePickerController;
class UIImage;
class UIViewController;

enum class AKImageExtensionType : int64_t { gallery = 0, camera = 1, inlineCamera = 2, photoEditor = 3 };
std::optional<AKImageExtensionType> AKImageExtensionTypeFromRawValue(int64_t raw);

// What a request hands an extension, by key; values of any type. A value
// of another type than the key's is read as missing.
using AKImageExtensionInfo = std::map<std::string, std::any>;

// The value types of the keys.
using AKImageExtensionCaptureImageBlock =
    std::function<void(const std::shared_ptr<UIImage>& image, const std::optional<ValueMap>& metadata)>;
using AKImageExtensionCaptureVideoBlock = std::function<void(const std::shared_ptr<class NSURL>& url)>;
using AKImageExtensionCancelBlock = std::function<void()>;
using AKImageExtensionEditBlock = AKImageExtensionCaptureImageBlock;

// The value under `key` when it is there and of type T.
template <typename T>
std::optional<T> AKImageExtensionValue(const AKImageExtensionInfo& info, const std::string& key) {
  auto it = info.find(key);
  if (it == info.end()) return std::nullopt;
  if (const T* value = std::any_cast<T>(&it->second)) return *value;
  return std::nullopt;
}

class AKImageExtensionContext {
 public:
  AKImageExtensionContext(const std::shared_ptr<AKImagePickerController>& picker,
                          std::shared_ptr<UIViewController> groupDetailVC)
      : imagePickerController_(picker), groupDetailVC_(std::move(groupDetailVC)) {}

  std::shared_ptr<AKImagePickerController> imagePickerController() const { return imagePickerController_.lock(); }
  // The picker's top screen when the context was made, if it was the asset grid.
  const std::shared_ptr<UIViewController>& groupDetailVC() const { return groupDetailVC_; }

 private:
  std::weak_ptr<AKImagePickerController> imagePickerController_;
  std::shared_ptr<UIViewController> groupDetailVC_;
};
using AKImageExtensionContextPtr = std::shared_ptr<AKImageExtensionContext>;

class AKImageBaseExtension : public NSObject {
 public:
  explicit AKImageBaseExtension(AKImageExtensionContextPtr context) : context_(std::move(context)) {}

  const AKImageExtensionContextPtr& context() const { return context_; }
  // Stop the process unless overridden.
  virtual void perform(const AKImageExtensionInfo& info);
  virtual void finish();

  std::string className() const override { return "AKImageBaseExtension"; }

 private:
  const AKImageExtensionContextPtr context_;
};
using AKImageBaseExtensionPtr = std::shared_ptr<AKImageBaseExtension>;

// Registered for a type, marks it as having no extension.
class AKImageExtensionNone : public AKImageBaseExtension {
 public:
  using AKImageBaseExtension::AKImageBaseExtension;
  std::string className() const override { return "AKImageExtensionNone"; }
};

// An extension class as a value: its runtime name, the type it serves by
// default (none for a class that answers no type) and its initialiser.
struct AKImageExtensionClass {
  std::string name;
  std::optional<AKImageExtensionType> extensionType;
  std::function<AKImageBaseExtensionPtr(const AKImageExtensionContextPtr& context)> make;

  bool isNone() const;
  bool operator==(const AKImageExtensionClass& other) const { return name == other.name; }

  template <typename Extension>
  static AKImageExtensionClass of(std::string name, std::optional<AKImageExtensionType> type) {
    return {std::move(name), type,
            [](const AKImageExtensionContextPtr& c) { return std::make_shared<Extension>(c); }};
  }
  static AKImageExtensionClass none();

  // The runtime's classes by name: what the default registration looks up.
  static void registerRuntimeClass(AKImageExtensionClass cls);
  static std::optional<AKImageExtensionClass> named(const std::string& name);
  // Puts the class in the default registry under its own type; a class
  // without one is not registered.
  void registerAsDefaultExtension() const;
};

class AKImageExtensionController : public NSObject {
 public:
  explicit AKImageExtensionController(const std::shared_ptr<AKImagePickerController>& picker);

  void performWithExtensionType(AKImageExtensionType type, const AKImageExtensionInfo& info);
  void finishWithExtensionType(AKImageExtensionType type);
  void enableWithExtensionType(AKImageExtensionType type) { blacklist_.erase(type); }
  void disableWithExtensionType(AKImageExtensionType type) { blacklist_.insert(type); }
  bool isExtensionTypeAvailable(AKImageExtensionType type) const;

  const std::set<AKImageExtensionType>& blacklist() const { return blacklist_; }
  AKImageBaseExtensionPtr cachedExtension(AKImageExtensionType type) const;

  static void registerExtensionWithExtensionClass(const AKImageExtensionClass& cls, AKImageExtensionType type);
  static void unregisterExtensionFor(AKImageExtensionType type);
  static void registerDefaultExtensionWithExtensionClass(const AKImageExtensionClass& cls,
                                                         AKImageExtensionType type);
  // The module's defaults, found by runtime name; once per process.
  static void registerDefaultExtensions();

  std::string className() const override { return "AKImageExtensionController"; }

 private:
  std::set<AKImageExtensionType> blacklist_;
  std::map<AKImageExtensionType, AKImageBaseExtensionPtr> cache_;
  std::weak_ptr<AKImagePickerController> imagePickerController_;
};
using AKImageExtensionControllerPtr = std::shared_ptr<AKImageExtensionController>;

// Keys of the information a request hands an extension.
inline constexpr const char* kAKExtensionDidFinishCapturingImage = "didFinishCapturingImage";
inline constexpr const char* kAKExtensionDidFinishCapturingVideo = "didFinishCapturingVideo";
inline constexpr const char* kAKExtensionDidCancel = "didCancel";
inline constexpr const char* kAKExtensionContainsGPSInMetadata = "containsGPSInMetadata";
inline constexpr const char* kAKExtensionImage = "image";
inline constexpr const char* kAKExtensionDidFinishEditing = "didFinishEditing";
inline constexpr const char* kAKExtensionMetadata = "metadata";
inline constexpr const char* kAKExtensionGroupId = "groupId";
inline constexpr const char* kAKExtensionPresentationIndex = "presentationIndex";
inline constexpr const char* kAKExtensionPresentingFromImageView = "presentingFromImageView";

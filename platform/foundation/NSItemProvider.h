#pragma once

// Hands an object or a file to whoever asks for it later, by type identifier,
// as sharing and drag-and-drop pass items on. Loading is asynchronous: the
// handler runs on a background queue, as on the platform.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NSData.h"
#include "NSError.h"
#include "NSObject.h"
#include "NSURL.h"
#include "OnceCallback.h"

extern const char* const NSItemProviderErrorDomain;
// The provider holds nothing of the asked type.
inline constexpr int64_t NSItemProviderItemUnavailableError = -1000;

class NSItemProvider : public NSObject {
 public:
  // Each load answers exactly once, on a background thread.
  using LoadObjectHandler = OnceCallback<void(std::shared_ptr<NSObject>, NSErrorPtr)>;
  using LoadDataHandler = OnceCallback<void(NSDataPtr, NSErrorPtr)>;
  using LoadFileHandler = OnceCallback<void(NSURLPtr, NSErrorPtr)>;

  // initWithObject: the object itself, registered under `typeIdentifier` when
  // one is given.
  explicit NSItemProvider(std::shared_ptr<NSObject> object, std::string typeIdentifier = "");
  // A file with the type of its contents.
  NSItemProvider(NSURLPtr fileURL, std::string typeIdentifier);
  // A file registered under several types (its own and those it conforms to).
  NSItemProvider(NSURLPtr fileURL, std::vector<std::string> typeIdentifiers);
  // An item that cannot be handed over: every load fails with `loadError`.
  NSItemProvider(NSErrorPtr loadError, std::vector<std::string> typeIdentifiers);

  const std::vector<std::string>& registeredTypeIdentifiers() const { return types_; }
  bool hasItemConformingToTypeIdentifier(const std::string& typeIdentifier) const;
  // True for a provider made from an object.
  bool canLoadObject() const { return object_ != nullptr; }

  void loadObject(LoadObjectHandler handler) const;
  // An object provider answers data only when its object is data; a file
  // provider reads its file.
  void loadDataRepresentationForTypeIdentifier(const std::string& typeIdentifier,
                                               LoadDataHandler handler) const;
  // The handler gets a temporary copy of the file, removed once the handler
  // returns, as the platform does: whoever needs it later copies or moves it.
  void loadFileRepresentationForTypeIdentifier(const std::string& typeIdentifier,
                                               LoadFileHandler handler) const;

 private:
  NSErrorPtr unavailable(const std::string& what) const;

  std::shared_ptr<NSObject> object_;
  NSURLPtr fileURL_;
  NSErrorPtr loadError_;
  std::vector<std::string> types_;
};

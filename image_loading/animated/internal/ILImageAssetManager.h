#pragma once

// The process-wide store of images loaded by name, emptied on the memory
// warning, and the lookup of "@2x"/"@3x" image files in a bundle.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"

class UIImage;

class ILImageAssetManager : public NSObject {
 public:
  // Use create(): an instance that empties itself on memory warnings.
  ILImageAssetManager() = default;
  ~ILImageAssetManager() override;
  static std::shared_ptr<ILImageAssetManager> create();
  static std::shared_ptr<ILImageAssetManager> sharedAssetManager();

  // The bundle path of a named image file, trying the scale markers in the
  // screen's order; `preferredScale` becomes the scale of the file found.
  // nullopt for an empty name or one ending in "/".
  std::optional<std::string> getPathForName(const std::string& name, const NSBundlePtr& bundle,
                                            double& preferredScale) const;
  std::shared_ptr<UIImage> imageForName(const std::string& name) const;
  void storeImage(const std::shared_ptr<UIImage>& image, const std::string& name);
  void didReceiveMemoryWarning();

  // Candidate scales ordered from the screen's own scale.
  static std::vector<double> scaleFactors();
  std::string className() const override { return "ILImageAssetManager"; }

 private:
  mutable Mutex lock_;
  std::map<std::string, std::shared_ptr<UIImage>> imageTable_ GUARDED_BY(lock_);
};

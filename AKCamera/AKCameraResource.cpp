#include "AKCamera/AKCameraResource.h"

#include "platform/foundation/Fatal.h"

UIImagePtr AKDefaultCameraResource::imageForResource(const std::string& name) {
  NSBundlePtr bundle = resourceBundle();
  std::optional<std::string> path = bundle->pathForResource(name, "png", "Images");
  UIImagePtr image = path ? UIImage::imageWithContentsOfFile(*path) : nullptr;
  if (!image) FatalStop("AKCamera: no image resource named " + name);
  return image;
}

NSBundlePtr AKDefaultCameraResource::resourceBundle() {
  const std::string folder =
      NSBundle::bundleForClass(typeid(AKDefaultCameraResource))->resourcePath();
  NSBundlePtr bundle = NSBundle::resourceBundleNamed("AKCameraResource", {folder});
  if (!bundle) FatalStop("AKCamera: no resource bundle at " + folder + "/AKCameraResource.bundle");
  return bundle;
}

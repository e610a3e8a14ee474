#include "PHPickerViewController.h"

#include <algorithm>
#include <cstdlib>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/OSLog.h"
#include "platform/imageio/UTType.h"

PHPickerFilter PHPickerFilter::imagesFilter() {
  PHPickerFilter f;
  f.types_ = {kUTTypeImage};
  return f;
}

PHPickerFilter PHPickerFilter::videosFilter() {
  PHPickerFilter f;
  f.types_ = {kUTTypeMovie};
  return f;
}

PHPickerFilter PHPickerFilter::livePhotosFilter() {
  // Live photos are stills with a movie beside them; here they are the stills.
  return imagesFilter();
}

PHPickerFilter PHPickerFilter::anyFilterMatchingSubfilters(const std::vector<PHPickerFilter>& filters) {
  PHPickerFilter f;
  for (const auto& sub : filters) {
    for (const auto& type : sub.types_) {
      if (std::find(f.types_.begin(), f.types_.end(), type) == f.types_.end()) {
        f.types_.push_back(type);
      }
    }
  }
  return f;
}

PHPickerViewController::PHPickerViewController(PHPickerConfiguration configuration)
    : configuration_(std::move(configuration)) {}

UISystemPickerRequest PHPickerViewController::pickerRequest() const {
  UISystemPickerRequest request;
  request.mode = UISystemPickerMode::Photo;
  request.types = configuration_.filter ? configuration_.filter->types()
                                        : std::vector<std::string>{kUTTypeImage, kUTTypeMovie};
  for (const auto& type : request.types) {
    for (const auto& extension : UTTypeCopyAllTagsWithClass(type, kUTTagClassFilenameExtension)) {
      request.extensions.push_back(extension);
    }
  }
  request.limit = std::max<int64_t>(0, configuration_.selectionLimit);
  request.multiple = request.limit != 1;
  request.startDirectory = UISystemPickerPhotoLibraryFolder();
  return request;
}

PHPickerResult PHPickerViewController::resultForFile(const std::string& picked) {
  // The item is what a link names: its provider copies the bytes, never a
  // link back to the user's original.
  std::string path = picked;
  if (char* real = ::realpath(picked.c_str(), nullptr)) {
    path = real;
    std::free(real);
  }
  const std::string name = path.substr(path.find_last_of('/') + 1);
  const size_t dot = name.find_last_of('.');
  std::vector<std::string> types;
  if (dot != std::string::npos && dot > 0) {
    const std::string own = UTType::typeWithFilenameExtension(name.substr(dot + 1)).identifier();
    types.push_back(own);
    if (UTTypeConformsTo(own, kUTTypeImage)) types.push_back(kUTTypeImage);
    if (UTTypeConformsTo(own, kUTTypeMovie)) types.push_back(kUTTypeMovie);
  }
  PHPickerResult result;
  result.itemProvider = std::make_shared<NSItemProvider>(NSURL::fileURLWithPath(path), types);
  return result;
}

void PHPickerViewController::pickerDidAnswer(UISystemPickerAnswer answer) {
  auto self = std::static_pointer_cast<PHPickerViewController>(shared_from_this());
  std::vector<PHPickerResult> results;
  if (answer.kind == UISystemPickerAnswer::Kind::Picked) {
    const int64_t limit = configuration_.selectionLimit;
    const UISystemPickerRequest request = pickerRequest();
    std::vector<std::string> copied;
    for (const auto& path : answer.paths) {
      if (limit > 0 && static_cast<int64_t>(results.size()) >= limit) {
        NSLog("PHPickerViewController: more items picked than the limit; the rest is left out");
        break;
      }
      if (auto refusal = UISystemPickerItemRefusal(path, request)) {
        // Its result has nothing to load, and the delegate hears why when
        // it loads it (and says so, once).
        results.push_back(unloadableResult(path, *refusal));
        continue;
      }
      results.push_back(resultForFile(path));
      copied.push_back(path);
    }
    // Each item is loaded as a copy in the temporary directory.
    if (auto refusal = UISystemPickerCopiesRefusal(copied, NSTemporaryDirectory())) {
      return fail(*refusal);
    }
  }
  if (auto d = delegate()) d->pickerDidFinishPicking(*self, results);
}

PHPickerResult PHPickerViewController::unloadableResult(const std::string& path,
                                                        const std::string& refusal) {
  PHPickerResult result = resultForFile(path);
  std::vector<std::string> types;
  for (const char* type : {kUTTypeImage, kUTTypeMovie}) {
    if (result.itemProvider->hasItemConformingToTypeIdentifier(type)) types.push_back(type);
  }
  result.itemProvider = std::make_shared<NSItemProvider>(
      NSError::errorWithDescription(NSItemProviderErrorDomain, NSItemProviderItemUnavailableError,
                                    refusal),
      types.empty() ? std::vector<std::string>{} : std::vector<std::string>{types[0]});
  return result;
}

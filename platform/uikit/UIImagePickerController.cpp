#include "UIImagePickerController.h"

#include <cstdlib>
#include <initializer_list>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/UTType.h"

const char* const UIImagePickerControllerMediaType = "UIImagePickerControllerMediaType";
const char* const UIImagePickerControllerMediaURL = "UIImagePickerControllerMediaURL";
const char* const UIImagePickerControllerImageURL = "UIImagePickerControllerImageURL";

namespace {

std::string typeOfFile(const std::string& path) {
  const std::string name = path.substr(path.find_last_of('/') + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return "";
  return UTType::typeWithFilenameExtension(name.substr(dot + 1)).identifier();
}

// A copy of the picked image in the temporary directory, as JPEG in place of
// HEIF when `compatible`; off the main thread.
NSURLPtr imageCopy(const std::string& path, bool compatible, std::string* why) {
  auto copy = UISystemPickerCopyToTemporary(path, "UIImagePickerController", why);
  if (!copy) return nullptr;
  const std::string type = typeOfFile(*copy);
  const bool heif = UTTypeConformsTo(type, kUTTypeHEIC) || UTTypeConformsTo(type, kUTTypeHEIF);
  if (!compatible || !heif) return NSURL::fileURLWithPath(*copy);
  const std::string jpeg = copy->substr(0, copy->find_last_of('.')) + ".jpg";
  auto source = CGImageSourceCreateWithURL(*copy);
  auto destination = CGImageDestinationCreateWithURL(jpeg, kUTTypeJPEG, 1);
  bool converted = false;
  if (source && destination && CGImageSourceGetCount(source) > 0) {
    CGImageDestinationAddImageFromSource(destination, source, 0);
    converted = CGImageDestinationFinalize(destination);
  }
  NSFileManager::defaultManager()->removeItemAtPath(*copy);
  if (!converted) {
    *why = "cannot convert " + path + " to JPEG";
    return nullptr;
  }
  return NSURL::fileURLWithPath(jpeg);
}

}  // namespace

UIImagePickerController::UIImagePickerController() = default;

bool UIImagePickerController::isSourceTypeAvailable(UIImagePickerControllerSourceType type) {
  if (type != UIImagePickerControllerSourceType::Camera) return true;
  for (const char* name : {"QX_CAMERA_SOURCE", "QX_FRONT_CAMERA_SOURCE"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

UISystemPickerRequest UIImagePickerController::pickerRequest() const {
  UISystemPickerRequest request;
  request.mode = UISystemPickerMode::Image;
  request.types = mediaTypes_;
  for (const auto& type : mediaTypes_) {
    for (const auto& extension : UTTypeCopyAllTagsWithClass(type, kUTTagClassFilenameExtension)) {
      request.extensions.push_back(extension);
    }
  }
  request.limit = 1;
  request.startDirectory = UISystemPickerPhotoLibraryFolder();
  return request;
}

std::string UIImagePickerController::mediaTypeOf(const std::string& path) const {
  const std::string type = typeOfFile(path);
  if (type.empty()) return "";
  for (const auto& wanted : mediaTypes_) {
    if (UTTypeConformsTo(type, wanted)) {
      return UTTypeConformsTo(type, kUTTypeImage) ? kUTTypeImage : kUTTypeMovie;
    }
  }
  return "";
}

void UIImagePickerController::pickerDidAnswer(UISystemPickerAnswer answer) {
  auto self = std::static_pointer_cast<UIImagePickerController>(shared_from_this());
  if (answer.kind == UISystemPickerAnswer::Kind::Cancelled || answer.paths.empty()) {
    if (auto d = delegate()) d->imagePickerControllerDidCancel(*self);
    return;
  }
  const std::string path = answer.paths.front();
  if (auto refusal = UISystemPickerItemRefusal(path, pickerRequest())) return fail(*refusal);
  const std::string mediaType = mediaTypeOf(path);
  if (mediaType.empty()) return fail(path + " is none of the media types");
  struct Prepared {
    NSURLPtr url;
    std::string why;
  };
  auto prepared = std::make_shared<Prepared>();
  const bool compatible = imagePreset_ == UIImagePickerControllerImageURLExportPreset::Compatible;
  auto work = [prepared, path, mediaType, compatible] {
    if (auto space = UISystemPickerCopiesRefusal({path}, NSTemporaryDirectory())) {
      prepared->why = *space;
    } else if (mediaType == kUTTypeMovie) {
      auto copy = UISystemPickerCopyToTemporary(path, "UIImagePickerController", &prepared->why);
      if (copy) prepared->url = NSURL::fileURLWithPath(*copy);
    } else {
      prepared->url = imageCopy(path, compatible, &prepared->why);
    }
  };
  prepareOffMain(std::move(work), [weak = WeakFromThis(this), prepared, mediaType](bool shown) {
    auto self = std::static_pointer_cast<UIImagePickerController>(weak.lock());
    if (!self || !shown) {
      // Dismissed while the copy was made: nobody takes it.
      if (prepared->url) {
        const std::string copy = prepared->url->path();
        NSFileManager::defaultManager()->removeItemAtPath(copy.substr(0, copy.find_last_of('/')));
      }
      return;
    }
    if (!prepared->url) {
      return self->fail("the picked item could not be handed over: " + prepared->why);
    }
    ValueMap info;
    info.emplace_back(Value(UIImagePickerControllerMediaType), Value(mediaType));
    info.emplace_back(Value(mediaType == kUTTypeMovie ? UIImagePickerControllerMediaURL
                                                      : UIImagePickerControllerImageURL),
                      Value(std::static_pointer_cast<NSObject>(prepared->url)));
    if (auto d = self->delegate()) {
      d->imagePickerControllerDidFinishPickingMediaWithInfo(*self, Value(std::move(info)));
    }
  });
}

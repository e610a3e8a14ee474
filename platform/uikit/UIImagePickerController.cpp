#include "UIImagePickerController.h"

#include <cstdlib>
#include <initializer_list>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/Value.h"
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

NSURLPtr UIImagePickerController::imageCopy(const std::string& path) const {
  std::string error;
  auto copy = UISystemPickerCopyToTemporary(path, "UIImagePickerController", &error);
  if (!copy) {
    NSLog("UIImagePickerController: cannot copy " + path + ": " + error);
    return nullptr;
  }
  const std::string type = typeOfFile(*copy);
  const bool heif = UTTypeConformsTo(type, kUTTypeHEIC) || UTTypeConformsTo(type, kUTTypeHEIF);
  if (imagePreset_ != UIImagePickerControllerImageURLExportPreset::Compatible || !heif) {
    return NSURL::fileURLWithPath(*copy);
  }
  // The compatible preset hands over a JPEG in place of HEIF.
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
    NSLog("UIImagePickerController: cannot convert " + path + " to JPEG");
    return nullptr;
  }
  return NSURL::fileURLWithPath(jpeg);
}

void UIImagePickerController::pickerDidAnswer(UISystemPickerAnswer answer) {
  auto self = std::static_pointer_cast<UIImagePickerController>(shared_from_this());
  auto d = delegate();
  if (answer.kind == UISystemPickerAnswer::Kind::Cancelled || answer.paths.empty()) {
    if (d) d->imagePickerControllerDidCancel(*self);
    return;
  }
  const std::string path = answer.paths.front();
  const std::string mediaType = mediaTypeOf(path);
  NSURLPtr url;
  if (mediaType == kUTTypeMovie) {
    std::string error;
    auto copy = UISystemPickerCopyToTemporary(path, "UIImagePickerController", &error);
    if (copy) url = NSURL::fileURLWithPath(*copy);
    else NSLog("UIImagePickerController: cannot copy " + path + ": " + error);
  } else if (mediaType == kUTTypeImage) {
    url = imageCopy(path);
  } else {
    NSLog("UIImagePickerController: " + path + " is none of the media types");
  }
  if (!url) {
    dismissIfPresented(false);
    if (failureHandler()) failureHandler()("the picked item could not be handed over");
    return;
  }
  ValueMap info;
  info.emplace_back(Value(UIImagePickerControllerMediaType), Value(mediaType));
  info.emplace_back(Value(mediaType == kUTTypeMovie ? UIImagePickerControllerMediaURL
                                                    : UIImagePickerControllerImageURL),
                    Value(std::static_pointer_cast<NSObject>(url)));
  if (d) d->imagePickerControllerDidFinishPickingMediaWithInfo(*self, Value(std::move(info)));
}

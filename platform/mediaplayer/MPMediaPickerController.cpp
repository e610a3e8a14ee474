#include "MPMediaPickerController.h"

#include "platform/foundation/OSLog.h"
#include "platform/imageio/UTType.h"

MPMediaPickerController::MPMediaPickerController(uint64_t mediaTypes) : mediaTypes_(mediaTypes) {}

UISystemPickerRequest MPMediaPickerController::pickerRequest() const {
  UISystemPickerRequest request;
  request.mode = UISystemPickerMode::Music;
  request.types = {kUTTypeAudio};
  request.extensions = UTTypeCopyAllTagsWithClass(kUTTypeAudio, kUTTagClassFilenameExtension);
  for (const char* extension : {"mp3", "m4a", "aac", "flac", "ogg", "opus", "wav", "aiff"}) {
    bool known = false;
    for (const auto& e : request.extensions) known = known || e == extension;
    if (!known) request.extensions.push_back(extension);
  }
  request.multiple = multiple_;
  request.limit = multiple_ ? 0 : 1;
  request.startDirectory = UISystemPickerMusicLibraryFolder();
  return request;
}

void MPMediaPickerController::pickerDidAnswer(UISystemPickerAnswer answer) {
  auto self = std::static_pointer_cast<MPMediaPickerController>(shared_from_this());
  auto d = delegate();
  if (answer.kind == UISystemPickerAnswer::Kind::Cancelled) {
    if (d) d->mediaPickerDidCancel(*self);
    return;
  }
  std::vector<MPMediaItemPtr> items;
  const UISystemPickerRequest request = pickerRequest();
  for (const auto& path : answer.paths) {
    if (!multiple_ && !items.empty()) break;
    // Probing a fifo or a device for audio would wait on it for ever.
    if (auto refusal = UISystemPickerItemRefusal(path, request)) {
      NSLog("MPMediaPickerController: " + *refusal);
      continue;
    }
    if (auto item = MPMediaItem::itemWithFile(path)) {
      items.push_back(item);
    } else {
      NSLog("MPMediaPickerController: " + path + " is not an audio file");
    }
  }
  if (d) d->mediaPickerDidPickMediaItems(*self, std::make_shared<MPMediaItemCollection>(items));
}

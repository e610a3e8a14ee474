#include "internal/FilePickerSavePicker.h"

#include <sys/stat.h>

#include "platform/foundation/OSLog.h"

std::shared_ptr<FilePickerSavePicker> FilePickerSavePicker::pickerForName(
    const NSURLPtr& nameCarrier) {
  // The platform's checks of an export picker's URL, made once.
  UIDocumentPickerViewController::initWithURL(nameCarrier, UIDocumentPickerMode::ExportToService);
  return std::make_shared<FilePickerSavePicker>(nameCarrier);
}

FilePickerSavePicker::FilePickerSavePicker(const NSURLPtr& nameCarrier)
    : UIDocumentPickerViewController({}, UIDocumentPickerMode::ExportToService, nameCarrier) {}

void FilePickerSavePicker::pickerDidAnswer(UISystemPickerAnswer answer) {
  if (answer.kind != UISystemPickerAnswer::Kind::Picked || answer.paths.empty()) {
    return UIDocumentPickerViewController::pickerDidAnswer(std::move(answer));
  }
  const std::string& chosen = answer.paths.front();
  struct stat st;
  if (::stat(chosen.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    NSLog("FilePickerSavePicker: a folder is no place to save a file: " + chosen);
    dismissIfPresented(false);
    if (failureHandler()) failureHandler()("nothing usable was picked");
    return;
  }
  auto self = std::static_pointer_cast<UIDocumentPickerViewController>(shared_from_this());
  auto d = delegate();
  dismissIfPresented(true);
  if (d) d->documentPickerDidPickDocumentsAtURLs(*self, {NSURL::fileURLWithPath(chosen)});
}

#include "UIDocumentPickerViewController.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/OSLog.h"
#include "platform/imageio/UTType.h"

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Types that every file conforms to: a request for them filters nothing.
bool isCatchAll(const std::string& type) {
  return type == kUTTypeItem || type == kUTTypeData || type == kUTTypeContent;
}

}  // namespace

UIDocumentPickerViewController::UIDocumentPickerViewController(std::vector<std::string> types,
                                                               UIDocumentPickerMode mode,
                                                               NSURLPtr url)
    : types_(std::move(types)), mode_(mode), url_(std::move(url)) {}

std::shared_ptr<UIDocumentPickerViewController> UIDocumentPickerViewController::initWithDocumentTypes(
    std::vector<std::string> documentTypes, UIDocumentPickerMode mode) {
  if (mode != UIDocumentPickerMode::Import && mode != UIDocumentPickerMode::Open) {
    throw std::invalid_argument("the document types initializer takes the import or open mode");
  }
  return std::make_shared<UIDocumentPickerViewController>(std::move(documentTypes), mode, nullptr);
}

std::shared_ptr<UIDocumentPickerViewController> UIDocumentPickerViewController::initWithURL(
    const NSURLPtr& url, UIDocumentPickerMode mode) {
  if (mode != UIDocumentPickerMode::ExportToService && mode != UIDocumentPickerMode::MoveToService) {
    throw std::invalid_argument("the URL initializer takes the export or move mode");
  }
  struct stat st;
  if (!url || !url->isFileURL() || ::stat(url->path().c_str(), &st) != 0) {
    throw std::invalid_argument("the URL initializer needs the file URL of an existing item");
  }
  return std::make_shared<UIDocumentPickerViewController>(std::vector<std::string>{}, mode, url);
}

UISystemPickerRequest UIDocumentPickerViewController::pickerRequest() const {
  UISystemPickerRequest request;
  const bool exporting = mode_ == UIDocumentPickerMode::ExportToService ||
                         mode_ == UIDocumentPickerMode::MoveToService;
  request.mode = exporting ? UISystemPickerMode::Export
                 : mode_ == UIDocumentPickerMode::Open ? UISystemPickerMode::Open
                                                       : UISystemPickerMode::Import;
  request.types = types_;
  for (const auto& type : types_) {
    for (const auto& extension : UTTypeCopyAllTagsWithClass(type, kUTTagClassFilenameExtension)) {
      if (std::find(request.extensions.begin(), request.extensions.end(), extension) ==
          request.extensions.end()) {
        request.extensions.push_back(extension);
      }
    }
  }
  request.multiple = multiple_ && !exporting;
  request.limit = request.multiple ? 0 : 1;
  if (directory_ && (!directory_->scheme() || directory_->isFileURL())) {
    request.startDirectory = directory_->path();
  }
  if (exporting && url_) request.exportFile = url_->path();
  return request;
}

bool UIDocumentPickerViewController::accepts(const std::string& path) const {
  const bool folder = isDirectory(path);
  const bool wantsFolders =
      std::find(types_.begin(), types_.end(), kUTTypeFolder) != types_.end();
  if (folder) return wantsFolders;
  if (types_.empty() || std::any_of(types_.begin(), types_.end(), isCatchAll)) return true;
  const std::string name = path.substr(path.find_last_of('/') + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return false;
  const UTType type = UTType::typeWithFilenameExtension(name.substr(dot + 1));
  return std::any_of(types_.begin(), types_.end(), [&](const std::string& allowed) {
    return UTTypeConformsTo(type.identifier(), allowed);
  });
}

std::vector<NSURLPtr> UIDocumentPickerViewController::importCopies(
    const std::vector<std::string>& paths) const {
  std::vector<NSURLPtr> urls;
  for (const auto& path : paths) {
    std::string error;
    auto copy = UISystemPickerCopyToTemporary(path, "Inbox", &error);
    if (!copy) {
      NSLog("UIDocumentPickerViewController: cannot import " + path + ": " + error);
      continue;
    }
    urls.push_back(NSURL::fileURLWithPath(*copy, isDirectory(*copy)));
  }
  return urls;
}

NSURLPtr UIDocumentPickerViewController::exportTo(const std::string& destination) const {
  auto files = NSFileManager::defaultManager();
  const std::string source = url_->path();
  if (destination == source) return NSURL::fileURLWithPath(destination);
  if (isDirectory(destination)) {
    NSLog("UIDocumentPickerViewController: cannot save over the folder " + destination);
    return nullptr;
  }
  // Copied beside the destination under a hidden name, then renamed over it:
  // the destination is either the old file or the whole new one.
  const std::string folder = destination.substr(0, destination.find_last_of('/'));
  const std::string temporary = (folder.empty() ? "" : folder) + "/.export-" + NSRandomUUIDString();
  NSErrorPtr error;
  if (!files->copyItemAtPath(source, temporary, &error) ||
      ::rename(temporary.c_str(), destination.c_str()) != 0) {
    if (!error) error = NSError::posixError(errno, "rename");
    files->removeItemAtPath(temporary);
    NSLog("UIDocumentPickerViewController: cannot save to " + destination + ": " +
          error->localizedDescription());
    return nullptr;
  }
  return NSURL::fileURLWithPath(destination);
}

void UIDocumentPickerViewController::pickerDidAnswer(UISystemPickerAnswer answer) {
  auto self = std::static_pointer_cast<UIDocumentPickerViewController>(shared_from_this());
  auto d = delegate();
  if (answer.kind == UISystemPickerAnswer::Kind::Cancelled) {
    dismissIfPresented(true);
    if (d) d->documentPickerWasCancelled(*self);
    return;
  }
  std::vector<std::string> paths;
  for (const auto& path : answer.paths) {
    if (mode_ == UIDocumentPickerMode::ExportToService ||
        mode_ == UIDocumentPickerMode::MoveToService || accepts(path)) {
      paths.push_back(path);
    } else {
      NSLog("UIDocumentPickerViewController: " + path + " is not of an allowed type");
    }
  }
  if (!multiple_ && paths.size() > 1) paths.resize(1);
  std::vector<NSURLPtr> urls;
  switch (mode_) {
    case UIDocumentPickerMode::Import:
      urls = importCopies(paths);
      break;
    case UIDocumentPickerMode::Open:
      for (const auto& path : paths) urls.push_back(NSURL::fileURLWithPath(path, isDirectory(path)));
      break;
    case UIDocumentPickerMode::ExportToService:
    case UIDocumentPickerMode::MoveToService:
      if (!paths.empty()) {
        if (auto saved = exportTo(paths.front())) urls.push_back(saved);
      }
      break;
  }
  if (urls.empty()) {
    // Nothing the picker may hand over came back: the pick failed.
    dismissIfPresented(false);
    if (failureHandler()) failureHandler()("nothing usable was picked");
    return;
  }
  dismissIfPresented(true);
  if (d) d->documentPickerDidPickDocumentsAtURLs(*self, urls);
}

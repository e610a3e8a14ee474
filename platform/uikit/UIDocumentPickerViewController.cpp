#include "UIDocumentPickerViewController.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/ProcessTemporaryFolders.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
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

const char* const kExportPrefix = ".export-";

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Where the journal of export temporaries lives: one entry per temporary,
// named like it (without the prefix) and holding its path.
std::string exportJournal() {
  auto caches = NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Caches);
  return caches.front()->path() + "/UIDocumentPickerExports";
}

// Saves `source` at `destination` through a temporary beside it; off the
// main thread. nullptr, with `why`, when it could not be saved.
NSURLPtr exportTo(const std::string& source, const std::string& destination, std::string* why) {
  auto files = NSFileManager::defaultManager();
  if (destination == source) return NSURL::fileURLWithPath(destination);
  const std::string folder = folderOf(destination);
  if (auto refusal = UISystemPickerCopiesRefusal({source}, folder)) {
    *why = *refusal;
    return nullptr;
  }
  // Copied beside the destination under a hidden name, then renamed over it:
  // the destination is either the old file or the whole new one.
  const std::string tag = ProcessTemporaryTag();
  const std::string temporary = (folder == "/" ? "" : folder) + "/" + kExportPrefix + tag;
  const std::string journal = exportJournal();
  const std::string entry = journal + "/" + tag;
  const std::string text = temporary;
  if (!files->createDirectoryAtPath(journal, true) ||
      !files->createFileAtPath(entry, Bytes(text.begin(), text.end()))) {
    NSLog("UIDocumentPickerViewController: cannot note " + temporary + " in " + journal);
  }
  NSErrorPtr error;
  if (!files->copyItemAtPath(source, temporary, &error) ||
      ::rename(temporary.c_str(), destination.c_str()) != 0) {
    if (!error) error = NSError::posixError(errno, "rename");
    files->removeItemAtPath(temporary);
    *why = "cannot save to " + destination + ": " + error->localizedDescription();
  }
  files->removeItemAtPath(entry);
  return why->empty() ? NSURL::fileURLWithPath(destination) : nullptr;
}

}  // namespace

void UIDocumentPickerViewController::removeAbandonedExports() {
  auto files = NSFileManager::defaultManager();
  const std::string journal = exportJournal();
  auto names = files->contentsOfDirectoryAtPath(journal);
  if (!names) return;
  for (const auto& name : *names) {
    // A process that no longer runs with the start time of its tag is gone
    // for good, and so is whatever it was writing.
    if (!ProcessTemporaryTagHasEnded(name)) continue;
    const std::string entry = journal + "/" + name;
    const std::string temporary = readText(entry);
    // Only the temporary this entry names (an entry cut short names nothing).
    struct stat st;
    if (temporary.ends_with("/" + std::string(kExportPrefix) + name) &&
        ::lstat(temporary.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      ::unlink(temporary.c_str());
    }
    ::unlink(entry.c_str());
  }
}

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

void UIDocumentPickerViewController::pickerDidAnswer(UISystemPickerAnswer answer) {
  auto self = std::static_pointer_cast<UIDocumentPickerViewController>(shared_from_this());
  if (answer.kind == UISystemPickerAnswer::Kind::Cancelled) {
    dismissIfPresented(true);
    if (auto d = delegate()) d->documentPickerWasCancelled(*self);
    return;
  }
  const bool exporting = mode_ == UIDocumentPickerMode::ExportToService ||
                         mode_ == UIDocumentPickerMode::MoveToService;
  const UISystemPickerRequest request = pickerRequest();
  std::vector<std::string> paths;
  std::string refusal;  // why the first item left out was
  for (const auto& path : answer.paths) {
    auto why = UISystemPickerItemRefusal(path, request);
    if (!why && !exporting && !accepts(path)) why = path + " is not of an allowed type";
    if (why) {
      NSLog("UIDocumentPickerViewController: " + *why);
      if (refusal.empty()) refusal = *why;
      continue;
    }
    paths.push_back(path);
  }
  if (!multiple_ && paths.size() > 1) paths.resize(1);
  if (mode_ == UIDocumentPickerMode::Open) {
    std::vector<NSURLPtr> urls;
    for (const auto& path : paths) urls.push_back(NSURL::fileURLWithPath(path, isDirectory(path)));
    return deliver(urls, refusal);
  }
  handOver(std::move(paths), std::move(refusal));
}

void UIDocumentPickerViewController::handOver(std::vector<std::string> paths, std::string refusal) {
  struct Prepared {
    std::vector<NSURLPtr> urls;
    std::string refusal;
  };
  auto prepared = std::make_shared<Prepared>();
  prepared->refusal = std::move(refusal);
  const bool exporting = mode_ != UIDocumentPickerMode::Import;
  const std::string source = url_ ? url_->path() : "";
  auto work = [prepared, paths = std::move(paths), exporting, source] {
    // Each reason is logged once, as it is found.
    std::string why;
    if (exporting) {
      if (!paths.empty()) {
        if (auto saved = exportTo(source, paths.front(), &why)) prepared->urls.push_back(saved);
      }
      if (!why.empty()) NSLog("UIDocumentPickerViewController: " + why);
    } else if (auto space = UISystemPickerCopiesRefusal(paths, NSTemporaryDirectory())) {
      why = *space;
      NSLog("UIDocumentPickerViewController: " + why);
    } else {
      for (const auto& path : paths) {
        std::string error;
        auto copy = UISystemPickerCopyToTemporary(path, "Inbox", &error);
        if (!copy) {
          const std::string failure = "cannot import " + path + ": " + error;
          NSLog("UIDocumentPickerViewController: " + failure);
          if (why.empty()) why = failure;
          continue;
        }
        prepared->urls.push_back(NSURL::fileURLWithPath(*copy, isDirectory(*copy)));
      }
    }
    if (!why.empty() && prepared->refusal.empty()) prepared->refusal = why;
  };
  auto weak = WeakFromThis(this);
  prepareOffMain(std::move(work), [weak, prepared, exporting](bool stillShown) {
    auto self = std::static_pointer_cast<UIDocumentPickerViewController>(weak.lock());
    if (self && stillShown) return self->deliver(prepared->urls, prepared->refusal);
    // Dismissed while the copies were made: nobody takes them.
    if (!exporting) {
      for (const auto& url : prepared->urls) {
        NSFileManager::defaultManager()->removeItemAtPath(folderOf(url->path()));
      }
    }
  });
}

void UIDocumentPickerViewController::deliver(const std::vector<NSURLPtr>& urls,
                                             const std::string& refusal) {
  if (urls.empty()) {
    // Nothing the picker may hand over came back: the pick failed. Each
    // refusal was logged when it was found.
    if (refusal.empty()) return fail("nothing usable was picked");
    return fail(refusal, /*alreadyLogged=*/true);
  }
  auto self = std::static_pointer_cast<UIDocumentPickerViewController>(shared_from_this());
  dismissIfPresented(true);
  if (auto d = delegate()) d->documentPickerDidPickDocumentsAtURLs(*self, urls);
  if (mode_ != UIDocumentPickerMode::Import) return;
  // Each copy came in an Inbox folder of its own; once the delegate has
  // taken the copy out, the empty folder goes (one still holding its copy
  // stays: removing a folder that is not empty fails).
  for (const auto& url : urls) ::rmdir(folderOf(url->path()).c_str());
}

#include "NSItemProvider.h"

#include <algorithm>

#include "Dispatch.h"
#include "FileIO.h"
#include "NSFileManager.h"
#include "ProcessTemporaryFolders.h"

const char* const NSItemProviderErrorDomain = "NSItemProviderErrorDomain";

namespace {

void runInBackground(dispatch_block_t work) {
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), std::move(work));
}

}  // namespace

NSItemProvider::NSItemProvider(std::shared_ptr<NSObject> object, std::string typeIdentifier)
    : object_(std::move(object)) {
  if (!typeIdentifier.empty()) types_.push_back(std::move(typeIdentifier));
}

NSItemProvider::NSItemProvider(NSURLPtr fileURL, std::string typeIdentifier)
    : fileURL_(std::move(fileURL)), types_{std::move(typeIdentifier)} {}

NSItemProvider::NSItemProvider(NSURLPtr fileURL, std::vector<std::string> typeIdentifiers)
    : fileURL_(std::move(fileURL)), types_(std::move(typeIdentifiers)) {}

NSItemProvider::NSItemProvider(NSErrorPtr loadError, std::vector<std::string> typeIdentifiers)
    : loadError_(std::move(loadError)), types_(std::move(typeIdentifiers)) {}

bool NSItemProvider::hasItemConformingToTypeIdentifier(const std::string& typeIdentifier) const {
  return std::find(types_.begin(), types_.end(), typeIdentifier) != types_.end();
}

NSErrorPtr NSItemProvider::unavailable(const std::string& what) const {
  if (loadError_) return loadError_;
  return NSError::errorWithDescription(NSItemProviderErrorDomain,
                                       NSItemProviderItemUnavailableError,
                                       "Cannot load representation of " + what);
}

void NSItemProvider::loadObject(LoadObjectHandler handler) const {
  if (!handler) return;
  auto object = object_;
  auto error = object ? nullptr : unavailable("an object");
  runInBackground(
      [handler = std::move(handler), object, error]() mutable { handler(object, error); });
}

void NSItemProvider::loadDataRepresentationForTypeIdentifier(const std::string& typeIdentifier,
                                                             LoadDataHandler handler) const {
  if (!handler) return;
  auto data = std::dynamic_pointer_cast<NSData>(object_);
  auto file = fileURL_;
  NSErrorPtr error;
  if (!hasItemConformingToTypeIdentifier(typeIdentifier) || (!data && !file)) {
    error = unavailable("type " + typeIdentifier);
  }
  runInBackground([handler = std::move(handler), data, file, error]() mutable {
    if (error) return handler(nullptr, error);
    if (data) return handler(data, nullptr);
    NSErrorPtr readError;
    auto contents = NSData::dataWithContentsOfFile(file->path(), &readError);
    handler(contents, contents ? nullptr : readError);
  });
}

void NSItemProvider::loadFileRepresentationForTypeIdentifier(const std::string& typeIdentifier,
                                                             LoadFileHandler handler) const {
  if (!handler) return;
  auto file = fileURL_;
  auto error = file && hasItemConformingToTypeIdentifier(typeIdentifier)
                   ? nullptr
                   : unavailable("type " + typeIdentifier + " as a file");
  runInBackground([handler = std::move(handler), file, error]() mutable {
    if (error) return handler(nullptr, error);
    auto files = NSFileManager::defaultManager();
    // Named after this process: what a process killed during the copy left
    // goes when the next one cleans up.
    NSErrorPtr copyError;
    auto folder = MakeProcessTemporaryFolder(".NSItemProvider", &copyError);
    if (!folder) return handler(nullptr, copyError);
    const std::string copy = *folder + "/" + file->lastPathComponent();
    // Read through the installed calls, as every whole-file read is.
    if (!NSFileManager(FileIO::current()).copyItemAtPath(file->path(), copy, &copyError)) {
      files->removeItemAtPath(*folder);
      return handler(nullptr, copyError);
    }
    handler(NSURL::fileURLWithPath(copy), nullptr);
    files->removeItemAtPath(*folder);
  });
}

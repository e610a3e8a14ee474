#include "AKImagePickerController/data/AKImageAssetExporterConfiguration.h"

#include "platform/avfoundation/AVAssetExportSession.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/uikit/UIApplication.h"

const char* const AKImageAssetExporterDomain = "AKImageAssetExporterDomain";
const char* const AKImageAssetExportResultRequestIDKey = "AKImageExportResultRequestIDKey";
const char* const AKImageAssetExportResultCancelledKey = "AKImageExportCancelledKey";

NSErrorPtr AKImageAssetExporterMakeError(AKImageAssetExporterError code, const std::string& description) {
  return NSError::errorWithDescription(AKImageAssetExporterDomain, static_cast<int64_t>(code), description);
}

NSErrorPtr AKImageAssetExporterCancelledError() {
  return AKImageAssetExporterMakeError(AKImageAssetExporterError::cancelled, "The operation was cancelled.");
}

AKImageAssetExporterConfiguration::AKImageAssetExporterConfiguration()
    : videoExportPreset(AVAssetExportPresetHighestQuality),
      avOutputFileType(AVFileTypeQuickTimeMovie),
      exportDirectory(NSURL::fileURLWithPath(NSTemporaryDirectory(), true)
                          ->URLByAppendingPathComponent("AKImageAssetExporter", true)) {}

AKImageAssetDiskPurger::AKImageAssetDiskPurger() {
  // Only shared() makes one, and never destroys it: `this` outlives the observer.
  NSNotificationCenter::defaultCenter().addObserver(
      this, UIApplicationWillTerminateNotification, nullptr,
      [this](const NSNotification&) { removeFiles(); });
}

AKImageAssetDiskPurger& AKImageAssetDiskPurger::shared() {
  static AKImageAssetDiskPurger* purger = [] {
    auto* p = new AKImageAssetDiskPurger();
    // Between tests the set starts empty again, as in a new process.
    SingletonResets::add([p] {
      std::lock_guard<std::mutex> lock(p->mutex_);
      p->directories_.clear();
    });
    return p;
  }();
  return *purger;
}

void AKImageAssetDiskPurger::add(const NSURLPtr& directory) {
  if (!directory) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& known : directories_) {
    if (known->isEqual(*directory)) return;
  }
  directories_.push_back(directory);
  // Nothing of this process is there yet: what is there is stale, left by a
  // run that ended without terminating cleanly.
  NSFileManager::defaultManager()->removeItemAtPath(directory->path());
}

void AKImageAssetDiskPurger::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& directory : directories_) NSFileManager::defaultManager()->removeItemAtPath(directory->path());
}

std::vector<NSURLPtr> AKImageAssetDiskPurger::directories() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return directories_;
}

#pragma once
// The exporter's options, its error values and result keys, and the purger
// that removes every export directory when the application terminates.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/ThreadChecks.h"

enum class AKImageExportPresent : int64_t { compatible = 0, current = 1 };

enum class AKImageAssetExporterError : int64_t { cancelled = 0, exportFailed = 1 };

extern const char* const AKImageAssetExporterDomain;            // "AKImageAssetExporterDomain"
extern const char* const AKImageAssetExportResultRequestIDKey;  // "AKImageExportResultRequestIDKey"
extern const char* const AKImageAssetExportResultCancelledKey;  // "AKImageExportCancelledKey"
inline constexpr int32_t AKImageAssetExportInvalidRequestID = 0;

// A new error of the exporter's domain with only a description.
NSErrorPtr AKImageAssetExporterMakeError(AKImageAssetExporterError code, const std::string& description);
// "The operation was cancelled.", code 0, made afresh each time.
NSErrorPtr AKImageAssetExporterCancelledError();

class AKImageAssetExporterConfiguration : public NSObject {
 public:
  AKImageAssetExporterConfiguration();

  // The raw value crosses the boundary; anything but 0 behaves as current.
  int64_t imageExportPreset = static_cast<int64_t>(AKImageExportPresent::compatible);
  std::string videoExportPreset;
  std::string avOutputFileType;
  NSURLPtr exportDirectory;
  double compressionQuality = 0.9;

  virtual std::shared_ptr<AKImageAssetExporterConfiguration> copy() const {
    return std::make_shared<AKImageAssetExporterConfiguration>(*this);
  }
  std::string className() const override { return "AKImageAssetExporterConfiguration"; }
};
using AKImageAssetExporterConfigurationPtr = std::shared_ptr<AKImageAssetExporterConfiguration>;

class AKImageAssetDiskPurger {
 public:
  // Created on first use; removes its directories on
  // UIApplicationWillTerminateNotification.
  static AKImageAssetDiskPurger& shared();

  // A directory registered for the first time in this process is emptied
  // of what an earlier run left in it, unless another process still uses
  // it. Each process that uses a directory holds a lock on an owner marker
  // beside it (".<name>.owner-<pid>" in its parent); a marker nobody holds
  // was left by a process that is gone. Putting a marker down, and judging
  // and removing a directory, happen under the claim lock ".<name>.lock"
  // beside it, so no process removes a directory that another has just
  // claimed.
  void add(const NSURLPtr& directory);
  // Removes the directories, each only when no other live process uses it,
  // and lets go of this process's markers.
  void clear();
  void removeFiles() { clear(); }
  std::vector<NSURLPtr> directories() const;

 private:
  AKImageAssetDiskPurger();
  mutable Mutex mutex_;
  std::vector<NSURLPtr> directories_ GUARDED_BY(mutex_);
  // Open descriptors of this process's locked markers, by marker path.
  std::vector<std::pair<std::string, int>> markers_ GUARDED_BY(mutex_);
};

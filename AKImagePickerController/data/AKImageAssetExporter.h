#pragma once
// Writes picked assets to files, one request at a time: a directory per
// asset below the export directory, a file found there from an earlier
// export reused, else the asset's data fetched and written (photos as the
// library stores them or converted from HEIC to JPEG; videos through an
// export session), with will-begin, progress and did-end callbacks through
// the hub and the request's completion on the main thread.

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "AKImagePickerController/data/AKAsset.h"
#include "AKImagePickerController/data/AKImageAssetExporterConfiguration.h"
#include "AKImagePickerController/data/AKImageBaseManager.h"
#include "platform/avfoundation/AVAssetExportSession.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSOperation.h"

class AKImageAssetExporter;

// Optional callbacks; each returns false when not implemented.
class AKImageAssetExporterObserver {
 public:
  virtual ~AKImageAssetExporterObserver() = default;
  virtual bool exporterWillBeginExporting(AKImageAssetExporter& exporter, const AKAssetPtr& asset) {
    (void)exporter, (void)asset;
    return false;
  }
  virtual bool exporterDidUpdateProgress(AKImageAssetExporter& exporter, const AKAssetPtr& asset) {
    (void)exporter, (void)asset;
    return false;
  }
  virtual bool exporterDidEndExporting(AKImageAssetExporter& exporter, const AKAssetPtr& asset) {
    (void)exporter, (void)asset;
    return false;
  }
};

class AKImageAssetExporter : public AKImageBaseManager {
 public:
  // Called with the request's info: the identifier and whether it was cancelled.
  using Completion = OnceCallback<void(const Value& info)>;

  static std::shared_ptr<AKImageAssetExporter> sharedInstance();
  static std::shared_ptr<AKImageAssetExporter> initWithConfiguration(
      const AKImageAssetExporterConfiguration& configuration);

  int32_t exportAssetsAsynchronously(const std::vector<AKAssetPtr>& assets, Completion completion);
  void cancel(int32_t requestID);
  void cancelAll();

  // Steps of the photo export, public for their callers' tests.
  NSDataPtr imageToJPEG(const NSDataPtr& data) const;
  NSURLPtr generateTemporaryPath(const AKAsset& asset) const;
  static bool isHEIC(const NSDataPtr& data);
  // One safe path component made of a name from the library.
  static std::string sanitizedFileName(const std::string& name, const std::string& fallback);

  const AKImageAssetExporterConfiguration& configuration() const { return *configuration_; }
  // The process-wide serial queue on which files are written.
  static dispatch_queue_t ioQueue();

  std::string className() const override { return "AKImageAssetExporter"; }

 private:
  struct Request;
  // Every path that may end an asset (its export, a cancel racing it) holds
  // a copy; the first to call wins and the rest are dropped.
  using AssetCompletion = SharedOnceCallback<void(const NSErrorPtr& error)>;
  // Copyable: it reports every step of an export.
  using ProgressReporter = std::function<void(double progress)>;

  explicit AKImageAssetExporter(AKImageAssetExporterConfigurationPtr configuration);
  std::shared_ptr<AKImageAssetExporter> self();
  void runRequest(const std::shared_ptr<Request>& request);
  void cancelledBeforeStart(const std::shared_ptr<Request>& request);
  void endAsset(const std::shared_ptr<Request>& request, const AKAssetPtr& asset, const NSErrorPtr& error);
  void countEnded(const std::shared_ptr<Request>& request);
  bool reuseExisting(const std::shared_ptr<Request>& request, const AKAssetPtr& asset,
                     const std::string& directory);
  bool isLive(int32_t requestID) const;
  void setInRequesting(const AKAssetPtr& asset);
  void clearInRequesting(const AKAsset* asset);
  void exportImage(const AKAssetPtr& asset, int32_t requestID, const std::string& directory,
                   ProgressReporter progress, AssetCompletion completion);
  void exportVideo(const AKAssetPtr& asset, int32_t requestID, const std::string& directory,
                   ProgressReporter progress, AssetCompletion completion);
  // Through a hidden ".tmp" folder beside the target, never following a
  // link; `completion` hears the error that stopped it, or nullptr once the
  // file is in place and the folder gone.
  static void writeData(const NSDataPtr& data, const NSURLPtr& url, AssetCompletion completion);
  void writePhoto(const AKAssetPtr& asset, int32_t requestID, const std::string& directory,
                  NSDataPtr data, const Value& info, const AssetCompletion& completion);
  void writeVideo(const AKAssetPtr& asset, int32_t requestID, const std::string& directory,
                  const AVAssetPtr& media, const Value& info, bool downloaded,
                  const ProgressReporter& progress, const AssetCompletion& completion);

  const AKImageAssetExporterConfigurationPtr configuration_;
  const NSOperationQueuePtr exportQueue_;
  const dispatch_semaphore_t semaphore_;
  mutable Mutex mutex_;
  std::map<int32_t, NSOperationPtr> operations_ GUARDED_BY(mutex_);
  std::weak_ptr<AVAssetExportSession> currentAVExportSession_ GUARDED_BY(mutex_);
  AKAssetPtr currentAssetInRequesting_ GUARDED_BY(mutex_);
};
using AKImageAssetExporterPtr = std::shared_ptr<AKImageAssetExporter>;

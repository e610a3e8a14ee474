#pragma once
// Writes an asset to a file. Every video preset is honoured by stream copy:
// the asset's audio and video streams are remuxed unchanged into the
// requested container (QuickTime movie or MPEG-4) through libavformat. The
// M4A preset writes the audio alone: copied when it is AAC already, else
// encoded as AAC with libavcodec. The export runs on the session's own queue, where its
// completion is called too. "status" and "progress" (bytes written over the
// source's size) are observable keys, announced on the exporting thread.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVError.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"

extern const char* const AVAssetExportPresetLowQuality;
extern const char* const AVAssetExportPresetMediumQuality;
extern const char* const AVAssetExportPresetHighestQuality;
extern const char* const AVAssetExportPresetPassthrough;
extern const char* const AVAssetExportPreset640x480;
extern const char* const AVAssetExportPreset1280x720;
extern const char* const AVAssetExportPreset1920x1080;
extern const char* const AVAssetExportPresetHEVCHighestQuality;
extern const char* const AVAssetExportPresetAppleM4A;

extern const char* const AVFileTypeQuickTimeMovie;  // "com.apple.quicktime-movie"
extern const char* const AVFileTypeMPEG4;           // "public.mpeg-4"
extern const char* const AVFileTypeAppleM4V;        // "com.apple.m4v-video"
extern const char* const AVFileTypeAppleM4A;        // "com.apple.m4a-audio"

enum AVAssetExportSessionStatus : int64_t {
  AVAssetExportSessionStatusUnknown = 0,
  AVAssetExportSessionStatusWaiting = 1,
  AVAssetExportSessionStatusExporting = 2,
  AVAssetExportSessionStatusCompleted = 3,
  AVAssetExportSessionStatusFailed = 4,
  AVAssetExportSessionStatusCancelled = 5,
};

class AVAssetExportSession : public NSKeyValueObservable {
 public:
  AVAssetExportSession(AVAssetPtr asset, std::string presetName);

  // nullptr for an unknown preset or an asset that cannot be exported.
  static std::shared_ptr<AVAssetExportSession> exportSessionWithAsset(const AVAssetPtr& asset,
                                                                      const std::string& presetName);
  static std::vector<std::string> allExportPresets();

  const AVAssetPtr& asset() const { return asset_; }
  const std::string& presetName() const { return presetName_; }
  // The containers the asset's streams can be copied into.
  std::vector<std::string> supportedFileTypes() const;

  // Set before exporting; an unsupported type fails the export.
  void setOutputFileType(std::string type);
  std::string outputFileType() const;
  void setOutputURL(NSURLPtr url);
  NSURLPtr outputURL() const;
  void setShouldOptimizeForNetworkUse(bool optimize);
  bool shouldOptimizeForNetworkUse() const;
  void setDirectoryForTemporaryFiles(NSURLPtr url);
  NSURLPtr directoryForTemporaryFiles() const;

  AVAssetExportSessionStatus status() const { return status_.load(); }
  float progress() const { return progress_.load(); }
  NSErrorPtr error() const;

  // Once per session; later calls fail at once.
  void exportAsynchronouslyWithCompletionHandler(OnceClosure handler);
  // Stops a waiting or running export: the partial output is removed and the
  // status becomes cancelled.
  void cancelExport();

  Value valueForKey(const std::string& key) const override;
  std::string className() const override { return "AVAssetExportSession"; }

 private:
  void run();
  // Why the export cannot start (no output file, an unsupported type, no
  // source, an output that exists); null with the source's size otherwise.
  NSErrorPtr checkRequest(const NSURLPtr& output, const std::string& type,
                          const NSURLPtr& source, double& sourceSize);
  // The M4A preset over audio that is not AAC: a real encode.
  void finishAudioEncode(const std::string& source, const std::string& output);
  void setStatus(AVAssetExportSessionStatus status);
  void setProgress(float progress);
  void fail(NSErrorPtr error);
  NSURLPtr sourceURL() const;

  AVAssetPtr asset_;
  std::string presetName_;
  dispatch_queue_t queue_;
  mutable Mutex mutex_;
  std::string outputFileType_ GUARDED_BY(mutex_);
  NSURLPtr outputURL_ GUARDED_BY(mutex_);
  NSURLPtr temporaryDirectory_ GUARDED_BY(mutex_);
  bool optimizeForNetwork_ GUARDED_BY(mutex_) = false;
  NSErrorPtr error_ GUARDED_BY(mutex_);
  bool started_ GUARDED_BY(mutex_) = false;
  std::atomic<AVAssetExportSessionStatus> status_{AVAssetExportSessionStatusUnknown};
  std::atomic<float> progress_{0};
  std::atomic<bool> cancelled_{false};
};
using AVAssetExportSessionPtr = std::shared_ptr<AVAssetExportSession>;

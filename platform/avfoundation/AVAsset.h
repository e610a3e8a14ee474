#pragma once
// Timed media: assets made from a file URL (read through libavformat) and
// compositions assembled from segments of such files. Times are seconds.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/avfoundation/CMTime.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"

struct AVFormatContext;
struct AVAssetDescription;

extern const char* const AVMediaTypeVideo;  // "vide"
extern const char* const AVMediaTypeAudio;  // "soun"
extern const char* const AVMediaTypeText;   // "text"

struct CMTimeRange {
  double start = 0;
  double duration = 0;
};

class AVAssetTrack : public NSObject {
 public:
  AVAssetTrack(int32_t trackID, std::string mediaType, CMTimeRange timeRange,
               float estimatedDataRate, CGSize naturalSize)
      : trackID_(trackID),
        mediaType_(std::move(mediaType)),
        timeRange_(timeRange),
        estimatedDataRate_(estimatedDataRate),
        naturalSize_(naturalSize) {}

  int32_t trackID() const { return trackID_; }
  const std::string& mediaType() const { return mediaType_; }
  CMTimeRange timeRange() const { return timeRange_; }
  // Bits per second.
  float estimatedDataRate() const { return estimatedDataRate_; }
  CGSize naturalSize() const { return naturalSize_; }
  std::string className() const override { return "AVAssetTrack"; }

 private:
  int32_t trackID_;
  std::string mediaType_;
  CMTimeRange timeRange_;
  float estimatedDataRate_;
  CGSize naturalSize_;
};
using AVAssetTrackPtr = std::shared_ptr<AVAssetTrack>;

// The state of a key an asset loads asynchronously.
enum AVKeyValueStatus : int64_t {
  AVKeyValueStatusUnknown = 0,
  AVKeyValueStatusLoading = 1,
  AVKeyValueStatusLoaded = 2,
  AVKeyValueStatusFailed = 3,
  AVKeyValueStatusCancelled = 4,
};

class AVAsset : public NSObject {
 public:
  // The handler runs once, on a loading queue, when every key has loaded,
  // failed or been cancelled. An asset whose values are in memory answers
  // every key loaded.
  virtual void loadValuesAsynchronouslyForKeys(const std::vector<std::string>& keys,
                                               OnceClosure handler);
  virtual AVKeyValueStatus statusOfValueForKey(const std::string& key, NSErrorPtr* error) const;
  // Loading in progress stops; its keys read cancelled and its handlers run.
  virtual void cancelLoading() {}

  virtual double duration() const = 0;
  virtual std::vector<AVAssetTrackPtr> tracks() const = 0;
  std::vector<AVAssetTrackPtr> tracksWithMediaType(const std::string& mediaType) const;
  // Whether an export session can write it out.
  virtual bool isExportable() const = 0;
  std::string className() const override { return "AVAsset"; }
};
using AVAssetPtr = std::shared_ptr<AVAsset>;

// What libavformat reads from a media file's header.
struct AVMediaProbe {
  bool readable = false;
  double duration = 0;
  CGSize videoSize{0, 0};  // displayed size: rotation applied
  int rotationDegrees = 0;
  std::optional<double> creationDate;  // seconds since 1970, from the container
  std::vector<AVAssetTrackPtr> tracks;
};
AVMediaProbe AVProbeMediaFile(const std::string& path);
// The same, of a resource libavformat has opened with its stream information.
AVMediaProbe AVProbeOpenedMedia(AVFormatContext* format);
// Loads the media libraries (see LibavLibrary.h) and keeps libav's notices
// off stderr; false with `error` when the libraries cannot be loaded. Every
// road into libav starts here.
bool AVLoadMediaLibraries(NSErrorPtr* error);
// The same for callers that have no error to answer (a probe of a file that
// cannot be read is unreadable either way).
void AVQuietMediaLibraryLogs();

// An asset over a file or an http(s) URL. Its keys ("duration", "tracks",
// "playable") load together, asynchronously, through the playback provider;
// the synchronous accessors read a local file's header on first use.
class AVURLAsset : public AVAsset {
 public:
  explicit AVURLAsset(NSURLPtr url);
  ~AVURLAsset() override;
  static std::shared_ptr<AVURLAsset> URLAssetWithURL(NSURLPtr url);

  void loadValuesAsynchronouslyForKeys(const std::vector<std::string>& keys,
                                       OnceClosure handler) override;
  AVKeyValueStatus statusOfValueForKey(const std::string& key, NSErrorPtr* error) const override;
  void cancelLoading() override;
  // Meaningful once the keys have loaded: the duration as media time
  // (indefinite before), whether the asset can play.
  CMTime loadedDuration() const;
  bool isPlayable() const;

  const NSURLPtr& URL() const { return url_; }
  double duration() const override;
  std::vector<AVAssetTrackPtr> tracks() const override;
  // A readable file with at least one track.
  bool isExportable() const override;
  CGSize videoSize() const;
  std::optional<double> creationDate() const;
  std::string className() const override { return "AVURLAsset"; }

 private:
  enum class LoadState { NotStarted, Loading, Done, Cancelled };
  struct Load;
  const AVMediaProbe& probe() const;
  std::shared_ptr<const AVAssetDescription> loaded() const;
  NSURLPtr url_;
  mutable std::once_flag once_;
  mutable AVMediaProbe probe_;

  mutable Mutex loadMutex_;
  LoadState loadState_ GUARDED_BY(loadMutex_) = LoadState::NotStarted;
  std::shared_ptr<Load> load_ GUARDED_BY(loadMutex_);
  std::shared_ptr<const AVAssetDescription> description_ GUARDED_BY(loadMutex_);
};
using AVURLAssetPtr = std::shared_ptr<AVURLAsset>;

// A piece of a composition track: `source` of a file placed at `target`.
struct AVCompositionTrackSegment {
  NSURLPtr sourceURL;  // nullptr for an empty segment
  int32_t sourceTrackID = 0;
  CMTimeRange source;
  CMTimeRange target;
  bool isEmpty() const { return !sourceURL; }
};

class AVCompositionTrack : public AVAssetTrack {
 public:
  AVCompositionTrack(int32_t trackID, std::string mediaType, float estimatedDataRate,
                     CGSize naturalSize, std::vector<AVCompositionTrackSegment> segments);
  const std::vector<AVCompositionTrackSegment>& segments() const { return segments_; }
  std::string className() const override { return "AVCompositionTrack"; }

 private:
  std::vector<AVCompositionTrackSegment> segments_;
};
using AVCompositionTrackPtr = std::shared_ptr<AVCompositionTrack>;

class AVComposition : public AVAsset {
 public:
  explicit AVComposition(std::vector<AVCompositionTrackPtr> tracks);
  double duration() const override;
  std::vector<AVAssetTrackPtr> tracks() const override;
  const std::vector<AVCompositionTrackPtr>& compositionTracks() const { return tracks_; }
  // The file every non-empty segment reads from, when there is exactly one.
  NSURLPtr singleSourceURL() const;
  // Exported by copying its one source file; compositions that splice
  // several files would need re-encoding, which is not done.
  bool isExportable() const override { return singleSourceURL() != nullptr; }
  std::string className() const override { return "AVComposition"; }

 private:
  std::vector<AVCompositionTrackPtr> tracks_;
};
using AVCompositionPtr = std::shared_ptr<AVComposition>;

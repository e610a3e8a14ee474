#pragma once
// Where assets and players read media from. The default reads for real with
// libavformat and libavcodec (AVLibavPlaybackProvider); tests install a
// scripted provider for what a real file cannot produce (a stall, a load that
// fails late). Shared; the test environment puts the default back.

#include <atomic>
#include <memory>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/CMTime.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"

// What an asset's keys answer, read in one go.
struct AVAssetDescription {
  // Set when the resource cannot be read as media; the rest is then empty.
  NSErrorPtr error;
  CMTime duration = kCMTimeIndefinite;
  std::vector<AVAssetTrackPtr> tracks;
  // A stream this system can present: a video it can decode within its size
  // limits, or audio (which plays silently).
  bool playable = false;
};

// One decoded picture of a video track. Its bitmap is made on first use, so
// pictures skipped on the way to a later time cost no conversion.
class AVVideoPicture {
 public:
  virtual ~AVVideoPicture() = default;
  // Presentation time in seconds from the start of the item.
  virtual double time() const = 0;
  // Made once, from any thread; never null.
  virtual CGImageRef image() = 0;
};
using AVVideoPicturePtr = std::shared_ptr<AVVideoPicture>;

// Reads a video track's pictures in presentation order, from one queue at a
// time.
class AVVideoReader {
 public:
  virtual ~AVVideoReader() = default;
  virtual CGSize pictureSize() const = 0;
  // Moves to the key frame at or before `seconds`: the pictures that follow
  // lead up to that time.
  virtual bool seekToKeyFrameBefore(double seconds, NSErrorPtr* error) = 0;
  // The next picture; nullptr at the end (error left null) or on a failure
  // (error set).
  virtual AVVideoPicturePtr nextPicture(NSErrorPtr* error) = 0;
};

class AVPlaybackProvider {
 public:
  virtual ~AVPlaybackProvider() = default;

  // Runs on a loading queue and may block on a slow source; it gives up
  // (with any result) once `cancelled` is set.
  virtual AVAssetDescription describeAsset(const NSURLPtr& url,
                                           const std::atomic<bool>& cancelled) = 0;
  // Opens the first video track. nullptr with the error when the resource
  // cannot be read or decoded; nullptr without one when it has no video.
  virtual std::unique_ptr<AVVideoReader> openVideo(const NSURLPtr& url,
                                                   const std::atomic<bool>& cancelled,
                                                   NSErrorPtr* error) = 0;

  static std::shared_ptr<AVPlaybackProvider> shared();
  // nullptr puts the default back.
  static void setShared(std::shared_ptr<AVPlaybackProvider> provider);
};

// The errors the platform gives for media it cannot open.
NSErrorPtr AVMakeError(int64_t code, const std::string& description,
                       const std::string& failureReason = "");

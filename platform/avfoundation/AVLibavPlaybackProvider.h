#pragma once
// The real playback provider: containers read by libavformat (local files,
// and http or https URLs streamed through the URL session), video decoded by
// libavcodec on the caller's queue and converted by libswscale. Audio streams
// are described and counted but never decoded: there is no sound output.

#include "platform/avfoundation/AVPlaybackProvider.h"

// Videos larger than this are refused before anything is decoded, so a
// header claiming an enormous picture costs nothing.
inline constexpr int64_t kAVMaxVideoPixels = 8192LL * 4320LL;
inline constexpr int kAVMaxVideoSide = 16384;
// Whether a picture of that size is within the limits above.
bool AVVideoSizeAllowed(int width, int height);

class AVLibavPlaybackProvider : public AVPlaybackProvider {
 public:
  AVAssetDescription describeAsset(const NSURLPtr& url, const std::atomic<bool>& cancelled) override;
  std::unique_ptr<AVVideoReader> openVideo(const NSURLPtr& url, const std::atomic<bool>& cancelled,
                                           NSErrorPtr* error) override;
};

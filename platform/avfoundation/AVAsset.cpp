#include "platform/avfoundation/AVAsset.h"

#include "platform/avfoundation/AVPlaybackProvider.h"
#include "platform/foundation/Dispatch.h"

#include <cmath>
#include <cstdarg>
#include <ctime>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
}

#include "platform/avfoundation/LibavLibrary.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/OSLog.h"

const char* const AVMediaTypeVideo = "vide";
const char* const AVMediaTypeAudio = "soun";
const char* const AVMediaTypeText = "text";

std::vector<AVAssetTrackPtr> AVAsset::tracksWithMediaType(const std::string& mediaType) const {
  std::vector<AVAssetTrackPtr> out;
  for (auto& track : tracks()) {
    if (track->mediaType() == mediaType) out.push_back(track);
  }
  return out;
}

namespace {

const char* mediaTypeOf(AVMediaType type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      return AVMediaTypeVideo;
    case AVMEDIA_TYPE_AUDIO:
      return AVMediaTypeAudio;
    case AVMEDIA_TYPE_SUBTITLE:
      return AVMediaTypeText;
    default:
      return nullptr;
  }
}

// "2024-05-01T12:00:00.000000Z", as muxers write creation_time.
std::optional<double> parseCreationTime(const char* text) {
  struct tm tm = {};
  const char* rest = strptime(text, "%Y-%m-%dT%H:%M:%S", &tm);
  if (!rest) rest = strptime(text, "%Y-%m-%d %H:%M:%S", &tm);
  if (!rest) return std::nullopt;
  return static_cast<double>(timegm(&tm));
}

int rotationOf(const AVStream* stream) {
  size_t size = 0;
  const uint8_t* matrix = Libav().av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (!matrix || size < 9 * sizeof(int32_t)) return 0;
  double angle = -Libav().av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (!std::isfinite(angle)) return 0;
  int degrees = static_cast<int>(std::lround(angle)) % 360;
  return degrees < 0 ? degrees + 360 : degrees;
}

}  // namespace

namespace {

// libav's messages, even its errors about a damaged file, are the media
// library's business: they go to the log at debug level, never to stderr,
// where the host's driver talks.
void routeMediaLibraryMessage(void* context, int level, const char* format, va_list args) {
  if (level > AV_LOG_WARNING) return;
  static const OSLogRef log = os_log_create("com.qx.avfoundation", "libav");
  char line[1024];
  int prefix = 1;
  va_list copy;
  va_copy(copy, args);
  Libav().av_log_format_line2(context, level, format, copy, line, sizeof line, &prefix);
  va_end(copy);
  std::string message(line);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (!message.empty()) os_log_with_type(log, OSLogType::Debug, message);
}

}  // namespace

bool AVLoadMediaLibraries(NSErrorPtr* error) {
  if (!LibavLoad(error)) return false;
  static std::once_flag once;
  std::call_once(once, [] { Libav().av_log_set_callback(routeMediaLibraryMessage); });
  return true;
}

void AVQuietMediaLibraryLogs() { AVLoadMediaLibraries(nullptr); }

AVMediaProbe AVProbeMediaFile(const std::string& path) {
  if (!AVLoadMediaLibraries(nullptr)) return {};
  AVFormatContext* format = nullptr;
  if (Libav().avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return {};
  if (Libav().avformat_find_stream_info(format, nullptr) < 0) {
    Libav().avformat_close_input(&format);
    return {};
  }
  AVMediaProbe probe = AVProbeOpenedMedia(format);
  Libav().avformat_close_input(&format);
  return probe;
}

AVMediaProbe AVProbeOpenedMedia(AVFormatContext* format) {
  AVMediaProbe probe;
  probe.readable = true;
  if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
    probe.duration = static_cast<double>(format->duration) / AV_TIME_BASE;
  }
  if (AVDictionaryEntry* tag = Libav().av_dict_get(format->metadata, "creation_time", nullptr, 0)) {
    probe.creationDate = parseCreationTime(tag->value);
  }
  bool haveVideo = false;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    AVStream* stream = format->streams[i];
    const char* type = mediaTypeOf(stream->codecpar->codec_type);
    if (!type || (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) continue;
    double start = 0, length = probe.duration;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
      length = stream->duration * av_q2d(stream->time_base);
    }
    if (stream->start_time != AV_NOPTS_VALUE) start = stream->start_time * av_q2d(stream->time_base);
    CGSize size{static_cast<double>(stream->codecpar->width),
                static_cast<double>(stream->codecpar->height)};
    if (!haveVideo && stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      haveVideo = true;
      probe.rotationDegrees = rotationOf(stream);
      probe.videoSize = (probe.rotationDegrees % 180 == 90) ? CGSize{size.height, size.width} : size;
    }
    probe.tracks.push_back(std::make_shared<AVAssetTrack>(
        stream->id ? stream->id : static_cast<int32_t>(i + 1), type, CMTimeRange{start, length},
        static_cast<float>(stream->codecpar->bit_rate), size));
  }
  return probe;
}

void AVAsset::loadValuesAsynchronouslyForKeys(const std::vector<std::string>&,
                                              OnceClosure handler) {
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), std::move(handler));
}

AVKeyValueStatus AVAsset::statusOfValueForKey(const std::string&, NSErrorPtr* error) const {
  if (error) *error = nullptr;
  return AVKeyValueStatusLoaded;
}

// One run of loading: its cancel flag and the handlers waiting for it.
struct AVURLAsset::Load {
  std::atomic<bool> cancelled{false};
  std::vector<OnceClosure> handlers;
};

AVURLAsset::AVURLAsset(NSURLPtr url) : url_(std::move(url)) {}

AVURLAsset::~AVURLAsset() {
  MutexLock lock(loadMutex_);
  if (load_) load_->cancelled = true;
}

void AVURLAsset::loadValuesAsynchronouslyForKeys(const std::vector<std::string>&,
                                                 OnceClosure handler) {
  auto queue = dispatch_get_global_queue(DispatchQoS::Default);
  MutexLock lock(loadMutex_);
  if (loadState_ == LoadState::Done) {
    lock.unlock();
    dispatch_async(queue, std::move(handler));
    return;
  }
  if (loadState_ == LoadState::Loading) {
    if (handler) load_->handlers.push_back(std::move(handler));
    return;
  }
  auto load = std::make_shared<Load>();
  if (handler) load->handlers.push_back(std::move(handler));
  load_ = load;
  loadState_ = LoadState::Loading;
  lock.unlock();
  // The asset is held weakly: a load nobody waits for any more ends with it.
  std::weak_ptr<AVURLAsset> weak = std::static_pointer_cast<AVURLAsset>(shared_from_this());
  NSURLPtr url = url_;
  dispatch_async(queue, [weak, load, url] {
    auto description = std::make_shared<const AVAssetDescription>(
        AVPlaybackProvider::shared()->describeAsset(url, load->cancelled));
    std::vector<OnceClosure> handlers;
    if (auto self = weak.lock()) {
      MutexLock guard(self->loadMutex_);
      if (self->load_ != load || load->cancelled) return;  // cancelled: its handlers have run
      self->description_ = description;
      self->loadState_ = LoadState::Done;
      self->load_ = nullptr;
      handlers.swap(load->handlers);
    }
    for (auto& h : handlers) h();
  });
}

void AVURLAsset::cancelLoading() {
  std::vector<OnceClosure> handlers;
  {
    MutexLock lock(loadMutex_);
    if (loadState_ != LoadState::Loading) return;
    load_->cancelled = true;
    handlers.swap(load_->handlers);
    load_ = nullptr;
    loadState_ = LoadState::Cancelled;
  }
  auto queue = dispatch_get_global_queue(DispatchQoS::Default);
  for (auto& h : handlers) dispatch_async(queue, std::move(h));
}

AVKeyValueStatus AVURLAsset::statusOfValueForKey(const std::string& key, NSErrorPtr* error) const {
  if (error) *error = nullptr;
  if (key != "duration" && key != "tracks" && key != "playable") return AVKeyValueStatusUnknown;
  MutexLock lock(loadMutex_);
  switch (loadState_) {
    case LoadState::NotStarted:
      return AVKeyValueStatusUnknown;
    case LoadState::Loading:
      return AVKeyValueStatusLoading;
    case LoadState::Cancelled:
      return AVKeyValueStatusCancelled;
    case LoadState::Done:
      break;
  }
  if (description_->error) {
    if (error) *error = description_->error;
    return AVKeyValueStatusFailed;
  }
  return AVKeyValueStatusLoaded;
}

std::shared_ptr<const AVAssetDescription> AVURLAsset::loaded() const {
  MutexLock lock(loadMutex_);
  return description_;
}

CMTime AVURLAsset::loadedDuration() const {
  auto d = loaded();
  return d && !d->error ? d->duration : kCMTimeIndefinite;
}

bool AVURLAsset::isPlayable() const {
  auto d = loaded();
  return d && !d->error && d->playable;
}

std::shared_ptr<AVURLAsset> AVURLAsset::URLAssetWithURL(NSURLPtr url) {
  if (!url) return nullptr;
  return std::make_shared<AVURLAsset>(std::move(url));
}

const AVMediaProbe& AVURLAsset::probe() const {
  std::call_once(once_, [this] {
    if (url_ && url_->isFileURL()) probe_ = AVProbeMediaFile(url_->path());
  });
  return probe_;
}

double AVURLAsset::duration() const {
  if (auto d = loaded(); d && !d->error && CMTIME_IS_NUMERIC(d->duration)) return CMTimeGetSeconds(d->duration);
  return probe().duration;
}
std::vector<AVAssetTrackPtr> AVURLAsset::tracks() const {
  if (auto d = loaded(); d && !d->error) return d->tracks;
  return probe().tracks;
}
bool AVURLAsset::isExportable() const { return probe().readable && !probe().tracks.empty(); }
CGSize AVURLAsset::videoSize() const { return probe().videoSize; }
std::optional<double> AVURLAsset::creationDate() const { return probe().creationDate; }

namespace {
CMTimeRange spanOf(const std::vector<AVCompositionTrackSegment>& segments) {
  if (segments.empty()) return {};
  double start = segments.front().target.start, end = start;
  for (auto& s : segments) {
    start = std::min(start, s.target.start);
    end = std::max(end, s.target.start + s.target.duration);
  }
  return {start, end - start};
}
}  // namespace

AVCompositionTrack::AVCompositionTrack(int32_t trackID, std::string mediaType,
                                       float estimatedDataRate, CGSize naturalSize,
                                       std::vector<AVCompositionTrackSegment> segments)
    : AVAssetTrack(trackID, std::move(mediaType), spanOf(segments), estimatedDataRate,
                   naturalSize),
      segments_(std::move(segments)) {}

AVComposition::AVComposition(std::vector<AVCompositionTrackPtr> tracks)
    : tracks_(std::move(tracks)) {}

double AVComposition::duration() const {
  double end = 0;
  for (auto& t : tracks_) end = std::max(end, t->timeRange().start + t->timeRange().duration);
  return end;
}

std::vector<AVAssetTrackPtr> AVComposition::tracks() const {
  return std::vector<AVAssetTrackPtr>(tracks_.begin(), tracks_.end());
}

NSURLPtr AVComposition::singleSourceURL() const {
  NSURLPtr found;
  for (auto& track : tracks_) {
    for (auto& segment : track->segments()) {
      if (segment.isEmpty()) continue;
      if (found && !found->isEqual(*segment.sourceURL)) return nullptr;
      found = segment.sourceURL;
    }
  }
  return found;
}

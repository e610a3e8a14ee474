#include "platform/avfoundation/AVAssetExportSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/avfoundation/LibavLibrary.h"
#include "platform/avfoundation/internal/AVAssetExportSessionAudio.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

const char* const AVAssetExportPresetLowQuality = "AVAssetExportPresetLowQuality";
const char* const AVAssetExportPresetMediumQuality = "AVAssetExportPresetMediumQuality";
const char* const AVAssetExportPresetHighestQuality = "AVAssetExportPresetHighestQuality";
const char* const AVAssetExportPresetPassthrough = "AVAssetExportPresetPassthrough";
const char* const AVAssetExportPreset640x480 = "AVAssetExportPreset640x480";
const char* const AVAssetExportPreset1280x720 = "AVAssetExportPreset1280x720";
const char* const AVAssetExportPreset1920x1080 = "AVAssetExportPreset1920x1080";
const char* const AVAssetExportPresetHEVCHighestQuality = "AVAssetExportPresetHEVCHighestQuality";
const char* const AVAssetExportPresetAppleM4A = "AVAssetExportPresetAppleM4A";

const char* const AVFileTypeQuickTimeMovie = "com.apple.quicktime-movie";
const char* const AVFileTypeMPEG4 = "public.mpeg-4";
const char* const AVFileTypeAppleM4V = "com.apple.m4v-video";
const char* const AVFileTypeAppleM4A = "com.apple.m4a-audio";

const char* const AVFoundationErrorDomain = "AVFoundationErrorDomain";

namespace {

const char* muxerFor(const std::string& fileType) {
  if (fileType == AVFileTypeQuickTimeMovie) return "mov";
  if (fileType == AVFileTypeMPEG4 || fileType == AVFileTypeAppleM4V) return "mp4";
  if (fileType == AVFileTypeAppleM4A) return "ipod";
  return nullptr;
}

NSErrorPtr avError(AVError code, const std::string& description) {
  return NSError::errorWithDescription(AVFoundationErrorDomain, code, description);
}

std::string libavMessage(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  Libav().av_strerror(code, text, sizeof text);
  return text;
}

// Adds to `out` a copy of every stream of `in` that it can carry (audio
// only for an audio file), recording in `map` where each input stream went
// (-1: left out). A libav status; no stream to carry is an error.
int MapStreams(AVFormatContext* in, AVFormatContext* out, bool audioOnly, std::vector<int>& map) {
  map.assign(in->nb_streams, -1);
  int next = 0;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVCodecParameters* par = in->streams[i]->codecpar;
    bool media = par->codec_type == AVMEDIA_TYPE_VIDEO || par->codec_type == AVMEDIA_TYPE_AUDIO;
    if (!media ||
        Libav().avformat_query_codec(out->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) != 1)
      continue;
    if (audioOnly && par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    AVStream* stream = Libav().avformat_new_stream(out, nullptr);
    if (!stream) return AVERROR(ENOMEM);
    int rc = Libav().avcodec_parameters_copy(stream->codecpar, par);
    if (rc < 0) return rc;
    // The source's tag stays when the container knows it for this codec:
    // left to the muxer, HEVC would be written as "hev1", which players
    // that take "hvc1" refuse.
    const uint32_t tag = par->codec_tag;
    stream->codecpar->codec_tag = 0;
    if (tag && out->oformat->codec_tag &&
        Libav().av_codec_get_id(out->oformat->codec_tag, tag) == par->codec_id) {
      stream->codecpar->codec_tag = tag;
    }
    stream->time_base = in->streams[i]->time_base;
    Libav().av_dict_copy(&stream->metadata, in->streams[i]->metadata, 0);
    size_t sideSize = 0;
    if (const uint8_t* matrix =
            Libav().av_stream_get_side_data(in->streams[i], AV_PKT_DATA_DISPLAYMATRIX, &sideSize)) {
      if (uint8_t* copy =
              Libav().av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, sideSize)) {
        std::copy_n(matrix, sideSize, copy);
      }
    }
    map[i] = next++;
  }
  return next == 0 ? AVERROR_STREAM_NOT_FOUND : 0;
}

// Copies the container's metadata and opens the output file with its header
// written.
int WriteHeader(AVFormatContext* in, AVFormatContext* out, const std::string& outPath,
                bool fastStart) {
  AVDictionary* options = nullptr;
  Libav().av_dict_copy(&out->metadata, in->metadata, 0);
  if (fastStart) Libav().av_dict_set(&options, "movflags", "+faststart", 0);
  int rc = Libav().avio_open(&out->pb, outPath.c_str(), AVIO_FLAG_WRITE);
  if (rc >= 0) rc = Libav().avformat_write_header(out, &options);
  Libav().av_dict_free(&options);
  return rc;
}

// Copies the mapped streams' packets until the input ends, an error, or
// `cancelled` says so (then `wasCancelled`); `progress` hears the share of
// the source written now and then.
int CopyPackets(AVFormatContext* in, AVFormatContext* out, const std::vector<int>& map,
                double sourceSize, const std::function<bool()>& cancelled,
                const std::function<void(float)>& progress, bool& wasCancelled) {
  AVPacket* packet = Libav().av_packet_alloc();
  int rc = 0;
  int count = 0;
  for (;;) {
    if (cancelled()) {
      wasCancelled = true;
      break;
    }
    int read = Libav().av_read_frame(in, packet);
    if (read == AVERROR_EOF) break;
    if (read < 0) {
      rc = read;
      break;
    }
    int target = packet->stream_index < static_cast<int>(map.size()) ? map[packet->stream_index] : -1;
    if (target >= 0) {
      Libav().av_packet_rescale_ts(packet, in->streams[packet->stream_index]->time_base,
                                   out->streams[target]->time_base);
      packet->stream_index = target;
      packet->pos = -1;
      rc = Libav().av_interleaved_write_frame(out, packet);
      if (++count % 4 == 0) {
        progress(std::min(
            0.99f, static_cast<float>(Libav().avio_seek(out->pb, 0, SEEK_CUR) / sourceSize)));
      }
    }
    Libav().av_packet_unref(packet);
    if (rc < 0) break;
  }
  Libav().av_packet_free(&packet);
  return rc;
}

}  // namespace


AVAssetExportSession::AVAssetExportSession(AVAssetPtr asset, std::string presetName)
    : asset_(std::move(asset)),
      presetName_(std::move(presetName)),
      queue_(dispatch_queue_create("AVAssetExportSession")) {}

std::vector<std::string> AVAssetExportSession::allExportPresets() {
  return {AVAssetExportPresetLowQuality,     AVAssetExportPresetMediumQuality,
          AVAssetExportPresetHighestQuality, AVAssetExportPresetPassthrough,
          AVAssetExportPreset640x480,        AVAssetExportPreset1280x720,
          AVAssetExportPreset1920x1080,      AVAssetExportPresetHEVCHighestQuality,
          AVAssetExportPresetAppleM4A};
}

std::shared_ptr<AVAssetExportSession> AVAssetExportSession::exportSessionWithAsset(
    const AVAssetPtr& asset, const std::string& presetName) {
  auto presets = allExportPresets();
  if (!asset || !asset->isExportable() ||
      std::find(presets.begin(), presets.end(), presetName) == presets.end()) {
    return nullptr;
  }
  return std::make_shared<AVAssetExportSession>(asset, presetName);
}

std::vector<std::string> AVAssetExportSession::supportedFileTypes() const {
  bool video = !asset_->tracksWithMediaType(AVMediaTypeVideo).empty();
  if (presetName_ == AVAssetExportPresetAppleM4A) return {AVFileTypeAppleM4A};
  if (!video) return {AVFileTypeQuickTimeMovie, AVFileTypeAppleM4A};
  return {AVFileTypeQuickTimeMovie, AVFileTypeMPEG4, AVFileTypeAppleM4V};
}

void AVAssetExportSession::setOutputFileType(std::string type) {
  MutexLock lock(mutex_);
  outputFileType_ = std::move(type);
}
std::string AVAssetExportSession::outputFileType() const {
  MutexLock lock(mutex_);
  return outputFileType_;
}
void AVAssetExportSession::setOutputURL(NSURLPtr url) {
  MutexLock lock(mutex_);
  outputURL_ = std::move(url);
}
NSURLPtr AVAssetExportSession::outputURL() const {
  MutexLock lock(mutex_);
  return outputURL_;
}
void AVAssetExportSession::setShouldOptimizeForNetworkUse(bool optimize) {
  MutexLock lock(mutex_);
  optimizeForNetwork_ = optimize;
}
bool AVAssetExportSession::shouldOptimizeForNetworkUse() const {
  MutexLock lock(mutex_);
  return optimizeForNetwork_;
}
void AVAssetExportSession::setDirectoryForTemporaryFiles(NSURLPtr url) {
  MutexLock lock(mutex_);
  temporaryDirectory_ = std::move(url);
}
NSURLPtr AVAssetExportSession::directoryForTemporaryFiles() const {
  MutexLock lock(mutex_);
  return temporaryDirectory_;
}
NSErrorPtr AVAssetExportSession::error() const {
  MutexLock lock(mutex_);
  return error_;
}

Value AVAssetExportSession::valueForKey(const std::string& key) const {
  if (key == "status") return Value(static_cast<int64_t>(status()));
  if (key == "progress") return Value(static_cast<double>(progress()));
  return NSKeyValueObservable::valueForKey(key);
}

void AVAssetExportSession::setStatus(AVAssetExportSessionStatus status) {
  changeValueForKey("status", [&] { status_.store(status); });
}

void AVAssetExportSession::setProgress(float progress) {
  changeValueForKey("progress", [&] { progress_.store(progress); });
}

void AVAssetExportSession::fail(NSErrorPtr error) {
  {
    MutexLock lock(mutex_);
    error_ = std::move(error);
  }
  setStatus(AVAssetExportSessionStatusFailed);
}

NSURLPtr AVAssetExportSession::sourceURL() const {
  if (auto url = std::dynamic_pointer_cast<AVURLAsset>(asset_)) return url->URL();
  if (auto composition = std::dynamic_pointer_cast<AVComposition>(asset_)) {
    return composition->singleSourceURL();
  }
  return nullptr;
}

void AVAssetExportSession::exportAsynchronouslyWithCompletionHandler(OnceClosure handler) {
  bool again;
  {
    MutexLock lock(mutex_);
    again = started_;
    started_ = true;
  }
  auto self = std::static_pointer_cast<AVAssetExportSession>(shared_from_this());
  if (again) {
    dispatch_async(queue_, std::move(handler));
    return;
  }
  setStatus(AVAssetExportSessionStatusWaiting);
  dispatch_async(queue_, [self, done = std::move(handler)]() mutable {
    self->run();
    done();
  });
}

void AVAssetExportSession::cancelExport() {
  cancelled_.store(true);
  auto s = status();
  if (s == AVAssetExportSessionStatusUnknown) setStatus(AVAssetExportSessionStatusCancelled);
}

NSErrorPtr AVAssetExportSession::checkRequest(const NSURLPtr& output, const std::string& type,
                                              const NSURLPtr& source, double& sourceSize) {
  if (!output || !output->isFileURL()) return avError(AVErrorExportFailed, "No output file was set.");
  auto supported = supportedFileTypes();
  if (!muxerFor(type) || std::find(supported.begin(), supported.end(), type) == supported.end()) {
    return avError(AVErrorInvalidOutputURLPathExtension,
                   "The output file type \"" + type + "\" is not supported.");
  }
  if (!source) return avError(AVErrorExportFailed, "The asset has no file to export.");
  struct stat st;
  if (lstat(output->path().c_str(), &st) == 0) {
    return avError(AVErrorFileAlreadyExists, "The file " + output->path() + " already exists.");
  }
  if (stat(source->path().c_str(), &st) != 0) {
    return NSError::posixError(errno, "stat " + source->path());
  }
  sourceSize = std::max<double>(1, static_cast<double>(st.st_size));
  return nullptr;
}

void AVAssetExportSession::run() {
  if (cancelled_.load()) return setStatus(AVAssetExportSessionStatusCancelled);
  if (NSErrorPtr unavailable; !AVLoadMediaLibraries(&unavailable)) return fail(unavailable);
  NSURLPtr output = outputURL();
  std::string type = outputFileType();
  NSURLPtr source = sourceURL();
  double sourceSize = 1;
  if (NSErrorPtr error = checkRequest(output, type, source, sourceSize)) return fail(error);
  const std::string outPath = output->path();
  setStatus(AVAssetExportSessionStatusExporting);
  if (type == AVFileTypeAppleM4A && !AVExportAudioIsAAC(source->path())) {
    return finishAudioEncode(source->path(), outPath);
  }

  AVFormatContext* in = nullptr;
  AVFormatContext* out = nullptr;
  std::vector<int> map;
  int rc = Libav().avformat_open_input(&in, source->path().c_str(), nullptr, nullptr);
  if (rc >= 0) rc = Libav().avformat_find_stream_info(in, nullptr);
  if (rc >= 0)
    rc = Libav().avformat_alloc_output_context2(&out, nullptr, muxerFor(type), outPath.c_str());
  if (rc >= 0) rc = MapStreams(in, out, type == AVFileTypeAppleM4A, map);
  if (rc >= 0) rc = WriteHeader(in, out, outPath, shouldOptimizeForNetworkUse());
  bool cancelled = false;
  if (rc >= 0) {
    rc = CopyPackets(
        in, out, map, sourceSize, [this] { return cancelled_.load(); },
        [this](float share) { setProgress(share); }, cancelled);
  }
  if (rc >= 0 && !cancelled) rc = Libav().av_write_trailer(out);
  if (out && out->pb) Libav().avio_closep(&out->pb);
  Libav().avformat_free_context(out);
  Libav().avformat_close_input(&in);
  if (cancelled || rc < 0) unlink(outPath.c_str());
  if (cancelled) return setStatus(AVAssetExportSessionStatusCancelled);
  if (rc < 0) return fail(avError(AVErrorExportFailed, "The export failed: " + libavMessage(rc)));
  setProgress(1.0f);
  setStatus(AVAssetExportSessionStatusCompleted);
}

void AVAssetExportSession::finishAudioEncode(const std::string& source, const std::string& output) {
  int rc = AVExportEncodeAudioToM4A(
      source, output, [this] { return cancelled_.load(); },
      [this](float share) { setProgress(share); });
  if (rc == AVERROR_EXIT) return setStatus(AVAssetExportSessionStatusCancelled);
  if (rc < 0) return fail(avError(AVErrorExportFailed, "The export failed: " + libavMessage(rc)));
  setProgress(1.0f);
  setStatus(AVAssetExportSessionStatusCompleted);
}

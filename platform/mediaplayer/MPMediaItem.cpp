#include "platform/mediaplayer/MPMediaItem.h"

#include <cstdlib>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "platform/foundation/OSLog.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

namespace {

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::optional<std::string> tag(AVFormatContext* format, const char* key) {
  const AVDictionaryEntry* entry = Libav().av_dict_get(format->metadata, key, nullptr, 0);
  if (!entry) {
    for (unsigned i = 0; i < format->nb_streams && !entry; ++i) {
      entry = Libav().av_dict_get(format->streams[i]->metadata, key, nullptr, 0);
    }
  }
  if (!entry || !entry->value || !*entry->value) return std::nullopt;
  return std::string(entry->value);
}

}  // namespace

MPMediaItem::MPMediaItem(std::optional<std::string> title, NSURLPtr assetURL, uint64_t persistentID)
    : title_(std::move(title)), assetURL_(std::move(assetURL)), persistentID_(persistentID) {}

std::shared_ptr<MPMediaItem> MPMediaItem::itemWithFile(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return nullptr;
  const std::string canonical = real;
  std::free(real);
  NSErrorPtr unavailable;
  if (!AVLoadMediaLibraries(&unavailable)) {
    // Said here: the picker only learns that the file is not one it can read.
    NSLog("MPMediaItem: " + unavailable->localizedDescription());
    return nullptr;
  }
  Libav().av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* format = nullptr;
  if (Libav().avformat_open_input(&format, canonical.c_str(), nullptr, nullptr) < 0) return nullptr;
  bool audio = false;
  if (Libav().avformat_find_stream_info(format, nullptr) >= 0) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) audio = true;
    }
  }
  std::optional<std::string> title = audio ? tag(format, "title") : std::nullopt;
  std::optional<std::string> track;
  if (audio) {
    track = tag(format, "MusicBrainz Track Id");
    if (!track) track = tag(format, "musicbrainz_trackid");
  }
  Libav().avformat_close_input(&format);
  if (!audio) return nullptr;
  return std::make_shared<MPMediaItem>(std::move(title), NSURL::fileURLWithPath(canonical),
                                       fnv1a(track ? "mbid:" + *track : "path:" + canonical));
}

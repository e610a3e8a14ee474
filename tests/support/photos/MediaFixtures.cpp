#include "support/photos/MediaFixtures.h"

#include <fstream>
#include <functional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
}

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/LibavPointers.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"

CGImageRef MakeFixtureBitmap(size_t width, size_t height, bool alpha) {
  auto pixels = std::make_shared<Bytes>(width * height * 4);
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      uint8_t* p = pixels->data() + (y * width + x) * 4;
      bool corner = x < width / 4 && y < height / 4;
      p[0] = corner ? 255 : static_cast<uint8_t>(x * 255 / (width ? width : 1));
      p[1] = corner ? 0 : static_cast<uint8_t>(y * 255 / (height ? height : 1));
      p[2] = corner ? 0 : 128;
      p[3] = alpha && !corner ? 128 : 255;
    }
  }
  return CGImage::create(width, height, 8, 32, width * 4,
                         alpha ? kCGImageAlphaLast : kCGImageAlphaNoneSkipLast, pixels);
}

bool WriteFixtureImage(const std::string& path, const std::string& type, size_t width,
                       size_t height, int exifOrientation, std::optional<FixtureGPS> gps,
                       std::optional<std::string> dateTimeOriginal, bool alpha) {
  auto dest = CGImageDestinationCreateWithURL(path, type, 1);
  if (!dest) return false;
  ValueMap props;
  if (exifOrientation != 1) props.emplace_back(kCGImagePropertyOrientation, Value(int64_t{exifOrientation}));
  if (dateTimeOriginal) {
    // "2020:01:01 12:00:00+02:00": the date, then its offset from UTC.
    ValueMap exif;
    exif.emplace_back(kCGImagePropertyExifDateTimeOriginal, Value(dateTimeOriginal->substr(0, 19)));
    if (dateTimeOriginal->size() > 19)
      exif.emplace_back(Value(std::string("OffsetTimeOriginal")),
                        Value(dateTimeOriginal->substr(19)));
    props.emplace_back(kCGImagePropertyExifDictionary, Value(std::move(exif)));
  }
  if (gps) {
    props.emplace_back(
        kCGImagePropertyGPSDictionary,
        Value::map({{kCGImagePropertyGPSLatitude, Value(std::abs(gps->latitude))},
                    {kCGImagePropertyGPSLatitudeRef, Value(gps->latitude < 0 ? "S" : "N")},
                    {kCGImagePropertyGPSLongitude, Value(std::abs(gps->longitude))},
                    {kCGImagePropertyGPSLongitudeRef, Value(gps->longitude < 0 ? "W" : "E")},
                    {kCGImagePropertyGPSAltitude, Value(std::abs(gps->altitude))},
                    {kCGImagePropertyGPSAltitudeRef, Value(int64_t{gps->altitude < 0 ? 1 : 0})}}));
  }
  CGImageDestinationAddImage(dest, MakeFixtureBitmap(width, height, alpha), Value(std::move(props)));
  return CGImageDestinationFinalize(dest);
}

namespace {

// One encoded stream of a fixture file.
struct FixtureEncoder {
  AVStream* stream = nullptr;
  LibavCodecPtr enc;

  // Encodes `frame` (nullptr: the end of the stream) and writes the packets.
  bool send(AVFormatContext* out, const AVFrame* frame, AVPacket* packet) {
    if (avcodec_send_frame(enc.get(), frame) < 0) return false;
    while (avcodec_receive_packet(enc.get(), packet) >= 0) {
      av_packet_rescale_ts(packet, enc->time_base, stream->time_base);
      packet->stream_index = stream->index;
      if (av_interleaved_write_frame(out, packet) < 0) return false;
    }
    return true;
  }
};

bool OpenEncoder(AVFormatContext* out, const AVCodec* codec, FixtureEncoder& e,
                 const std::function<void(AVCodecContext&)>& configure, AVDictionary** options) {
  e.stream = avformat_new_stream(out, nullptr);
  e.enc.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
  if (!e.stream || !e.enc) return false;
  configure(*e.enc);
  if (out->oformat->flags & AVFMT_GLOBALHEADER) e.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(e.enc.get(), codec, options) < 0 ||
      avcodec_parameters_from_context(e.stream->codecpar, e.enc.get()) < 0) {
    return false;
  }
  e.stream->time_base = e.enc->time_base;
  return true;
}

bool OpenVideoEncoder(AVFormatContext* out, int width, int height, const std::string& hevcTag,
                      FixtureEncoder& e) {
  const AVCodec* codec = avcodec_find_encoder(hevcTag.empty() ? AV_CODEC_ID_MPEG4 : AV_CODEC_ID_HEVC);
  AVDictionary* quiet = nullptr;
  if (!hevcTag.empty()) av_dict_set(&quiet, "x265-params", "log-level=none", 0);
  const bool ok = OpenEncoder(out, codec, e, [&](AVCodecContext& enc) {
    enc.width = width;
    enc.height = height;
    enc.pix_fmt = AV_PIX_FMT_YUV420P;
    enc.time_base = {1, 10};
    enc.framerate = {10, 1};
    enc.gop_size = 5;
    enc.bit_rate = 400000;
  }, &quiet);
  av_dict_free(&quiet);
  if (ok && hevcTag.size() == 4) {
    e.stream->codecpar->codec_tag = MKTAG(hevcTag[0], hevcTag[1], hevcTag[2], hevcTag[3]);
  }
  return ok;
}

// libavcodec's own AAC encoder (mono at 22050 Hz and 64 kbit/s unless
// asked), or with no bit rate 16-bit PCM.
bool OpenAudioEncoder(AVFormatContext* out, FixtureEncoder& e, int channels = 1,
                      int64_t aacBitRate = 64000, int rate = 22050) {
  const AVCodec* codec = avcodec_find_encoder(aacBitRate ? AV_CODEC_ID_AAC : AV_CODEC_ID_PCM_S16LE);
  return OpenEncoder(out, codec, e, [&](AVCodecContext& enc) {
    enc.sample_fmt = aacBitRate ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    enc.sample_rate = rate;
    av_channel_layout_default(&enc.ch_layout, channels);
    enc.time_base = {1, rate};
    enc.bit_rate = aacBitRate;
  }, nullptr);
}

bool WriteVideoFrames(AVFormatContext* out, FixtureEncoder& e, int frames, AVPacket* packet) {
  AVFrame* frame = av_frame_alloc();
  frame->format = e.enc->pix_fmt;
  frame->width = e.enc->width;
  frame->height = e.enc->height;
  bool ok = av_frame_get_buffer(frame, 0) >= 0;
  for (int i = 0; ok && i < frames; ++i) {
    av_frame_make_writable(frame);
    for (int y = 0; y < frame->height; ++y) {
      for (int x = 0; x < frame->width; ++x) frame->data[0][y * frame->linesize[0] + x] = static_cast<uint8_t>(x + y + i * 8);
    }
    for (int y = 0; y < frame->height / 2; ++y) {
      for (int x = 0; x < frame->width / 2; ++x) {
        frame->data[1][y * frame->linesize[1] + x] = 128;
        frame->data[2][y * frame->linesize[2] + x] = 64;
      }
    }
    frame->pts = i;
    ok = e.send(out, frame, packet);
  }
  av_frame_free(&frame);
  return ok && e.send(out, nullptr, packet);
}

// A square tone of `seconds` on every channel (a pitch of its own on each),
// in the encoder's frames: planar floats or interleaved 16-bit samples.
bool WriteTone(AVFormatContext* out, FixtureEncoder& e, double seconds, AVPacket* packet) {
  AVFrame* frame = av_frame_alloc();
  frame->format = e.enc->sample_fmt;
  frame->nb_samples = e.enc->frame_size > 0 ? e.enc->frame_size : 1024;
  frame->sample_rate = e.enc->sample_rate;
  bool ok = av_channel_layout_copy(&frame->ch_layout, &e.enc->ch_layout) >= 0 &&
            av_frame_get_buffer(frame, 0) >= 0;
  const int channels = e.enc->ch_layout.nb_channels;
  const bool planar = e.enc->sample_fmt == AV_SAMPLE_FMT_FLTP;
  const int64_t total = static_cast<int64_t>(seconds * e.enc->sample_rate);
  for (int64_t at = 0; ok && at < total; at += frame->nb_samples) {
    av_frame_make_writable(frame);
    for (int c = 0; c < channels; ++c) {
      for (int i = 0; i < frame->nb_samples; ++i) {
        const bool high = ((at + i) / (50 + 10 * c)) % 2;
        if (planar) {
          reinterpret_cast<float*>(frame->data[c])[i] = high ? 0.25f : -0.25f;
        } else {
          reinterpret_cast<int16_t*>(frame->data[0])[i * channels + c] = high ? 8000 : -8000;
        }
      }
    }
    frame->pts = at;
    ok = e.send(out, frame, packet);
  }
  av_frame_free(&frame);
  return ok && e.send(out, nullptr, packet);
}

bool WriteFixtureMedia(const std::string& path, int width, int height, int frames,
                       const std::optional<std::string>& creationTime, const std::string& hevcTag,
                       bool aacAudio) {
  AVQuietMediaLibraryLogs();  // the AAC encoder reports its quality on closing
  AVFormatContext* out = nullptr;
  if (avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str()) < 0) return false;
  FixtureEncoder video, audio;
  bool ok = OpenVideoEncoder(out, width, height, hevcTag, video) &&
            (!aacAudio || OpenAudioEncoder(out, audio));
  if (ok && creationTime) av_dict_set(&out->metadata, "creation_time", creationTime->c_str(), 0);
  if (ok) ok = avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0;
  if (ok) ok = avformat_write_header(out, nullptr) >= 0;
  AVPacket* packet = av_packet_alloc();
  if (ok) ok = WriteVideoFrames(out, video, frames, packet);
  if (ok && aacAudio) ok = WriteTone(out, audio, frames / 10.0, packet);
  if (ok) ok = av_write_trailer(out) >= 0;
  av_packet_free(&packet);
  if (out->pb) avio_closep(&out->pb);
  avformat_free_context(out);
  return ok;
}

}  // namespace

bool WriteFixtureVideo(const std::string& path, int width, int height, int frames,
                       std::optional<std::string> creationTime, const std::string& hevcTag) {
  return WriteFixtureMedia(path, width, height, frames, creationTime, hevcTag, false);
}

bool WriteFixtureVideoWithAAC(const std::string& path, int width, int height, int frames) {
  return WriteFixtureMedia(path, width, height, frames, std::nullopt, "", true);
}

bool WriteFixtureSound(const std::string& path, int channels, int64_t aacBitRate,
                       double seconds) {
  AVQuietMediaLibraryLogs();
  AVFormatContext* out = nullptr;
  if (avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str()) < 0) return false;
  FixtureEncoder audio;
  bool ok = OpenAudioEncoder(out, audio, channels, aacBitRate, 44100);
  if (ok) ok = avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0;
  if (ok) ok = avformat_write_header(out, nullptr) >= 0;
  AVPacket* packet = av_packet_alloc();
  if (ok) ok = WriteTone(out, audio, seconds, packet);
  if (ok) ok = av_write_trailer(out) >= 0;
  av_packet_free(&packet);
  if (out->pb) avio_closep(&out->pb);
  avformat_free_context(out);
  return ok;
}

FixtureAudioFormat FixtureAudioFormatOf(const std::string& path) {
  FixtureAudioFormat format;
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return format;
  if (avformat_find_stream_info(in, nullptr) >= 0) {
    int s = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (s >= 0) {
      const AVCodecParameters* par = in->streams[s]->codecpar;
      format = {avcodec_get_name(par->codec_id), par->ch_layout.nb_channels, par->bit_rate};
    }
  }
  avformat_close_input(&in);
  return format;
}

std::vector<std::string> FixtureStreamTypes(const std::string& path) {
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return {};
  std::vector<std::string> types;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const char* type = av_get_media_type_string(in->streams[i]->codecpar->codec_type);
    types.emplace_back(type ? type : "unknown");
  }
  avformat_close_input(&in);
  return types;
}

namespace {

void put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}
void put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>(v >> 8);
}

}  // namespace

bool WriteFixtureTone(const std::string& path, double seconds,
                  const std::optional<std::string>& title) {
  const uint32_t rate = 22050;
  const uint32_t samples = static_cast<uint32_t>(seconds * rate);
  std::string data;
  for (uint32_t i = 0; i < samples; ++i) {
    put16(data, static_cast<uint16_t>(static_cast<int16_t>(8000 * ((i / 25) % 2 ? 1 : -1))));
  }
  std::string info;
  if (title) {
    std::string text = *title + '\0';
    if (text.size() % 2) text += '\0';
    info = "INFO";
    info += "INAM";
    put32(info, static_cast<uint32_t>(text.size()));
    info += text;
  }
  std::string body = "WAVE";
  body += "fmt ";
  put32(body, 16);
  put16(body, 1);
  put16(body, 1);
  put32(body, rate);
  put32(body, rate * 2);
  put16(body, 2);
  put16(body, 16);
  if (!info.empty()) {
    body += "LIST";
    put32(body, static_cast<uint32_t>(info.size()));
    body += info;
  }
  body += "data";
  put32(body, static_cast<uint32_t>(data.size()));
  body += data;
  std::string file = "RIFF";
  put32(file, static_cast<uint32_t>(body.size()));
  file += body;
  std::ofstream out(path, std::ios::binary);
  out << file;
  return static_cast<bool>(out);
}

std::string FixtureAudioCodec(const std::string& path) {
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return "";
  std::string name;
  if (avformat_find_stream_info(in, nullptr) >= 0) {
    int s = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (s >= 0) name = avcodec_get_name(in->streams[s]->codecpar->codec_id);
  }
  avformat_close_input(&in);
  return name;
}


std::string FixtureVideoCodecTag(const std::string& path) {
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return "";
  std::string tag;
  if (avformat_find_stream_info(in, nullptr) >= 0) {
    for (unsigned i = 0; i < in->nb_streams; ++i) {
      const AVCodecParameters* par = in->streams[i]->codecpar;
      if (par->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      for (int shift = 0; shift < 32; shift += 8) tag += static_cast<char>((par->codec_tag >> shift) & 0xFF);
      break;
    }
  }
  avformat_close_input(&in);
  return tag;
}

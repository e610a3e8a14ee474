#include "support/photos/PlaybackFixtures.h"

#include <cmath>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/LibavPointers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

const AVCodec* videoEncoder() {
  if (const AVCodec* x264 = avcodec_find_encoder_by_name("libx264")) return x264;
  return avcodec_find_encoder(AV_CODEC_ID_MPEG4);
}

// Stripes in the lower two thirds; the blue band above them.
void paint(AVFrame* frame, int index) {
  int w = frame->width, h = frame->height;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t luma;
      if (y < h / 3) {
        luma = 41;  // blue
      } else {
        int bit = x * 8 / w;
        luma = (index >> bit) & 1 ? 235 : 16;
      }
      frame->data[0][y * frame->linesize[0] + x] = luma;
    }
  }
  for (int y = 0; y < h / 2; ++y) {
    for (int x = 0; x < w / 2; ++x) {
      bool band = y * 2 < h / 3;
      frame->data[1][y * frame->linesize[1] + x] = band ? 240 : 128;
      frame->data[2][y * frame->linesize[2] + x] = band ? 110 : 128;
    }
  }
}

struct Encoder {
  LibavCodecPtr context;
  AVStream* stream = nullptr;
};

bool drain(AVFormatContext* out, Encoder& enc, AVPacket* packet) {
  while (avcodec_receive_packet(enc.context.get(), packet) >= 0) {
    av_packet_rescale_ts(packet, enc.context->time_base, enc.stream->time_base);
    packet->stream_index = enc.stream->index;
    if (av_interleaved_write_frame(out, packet) < 0) return false;
  }
  return true;
}

}  // namespace

std::string FixtureMovieEncoder() { return videoEncoder() ? videoEncoder()->name : ""; }

bool WriteFixtureMovie(const std::string& path, const FixtureMovie& movie) {
  AVQuietMediaLibraryLogs();
  AVFormatContext* out = nullptr;
  if (avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str()) < 0) return false;
  Encoder video, audio;
  const AVCodec* vcodec = videoEncoder();
  bool ok = vcodec != nullptr;
  if (ok) {
    video.stream = avformat_new_stream(out, nullptr);
    video.context.reset(avcodec_alloc_context3(vcodec));
    video.context->width = movie.width;
    video.context->height = movie.height;
    video.context->pix_fmt = AV_PIX_FMT_YUV420P;
    video.context->time_base = {1, movie.framesPerSecond};
    video.context->framerate = {movie.framesPerSecond, 1};
    video.context->gop_size = movie.keyFrameInterval;
    video.context->keyint_min = movie.keyFrameInterval;
    video.context->bit_rate = 2000000;
    video.context->thread_count = 1;
    if (std::string(vcodec->name) == "libx264") {
      av_opt_set(video.context->priv_data, "preset", "veryfast", 0);
      av_opt_set(video.context->priv_data, "x264-params", "scenecut=0", 0);
    }
    if (out->oformat->flags & AVFMT_GLOBALHEADER) video.context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ok = avcodec_open2(video.context.get(), vcodec, nullptr) >= 0 &&
         avcodec_parameters_from_context(video.stream->codecpar, video.context.get()) >= 0;
    video.stream->time_base = video.context->time_base;
    if (movie.claimedSide) {
      video.stream->codecpar->width = *movie.claimedSide;
      video.stream->codecpar->height = *movie.claimedSide;
    }
  }
  if (ok && movie.withAudio) {
    const AVCodec* acodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    ok = acodec != nullptr;
    if (ok) {
      audio.stream = avformat_new_stream(out, nullptr);
      audio.context.reset(avcodec_alloc_context3(acodec));
      audio.context->sample_rate = 44100;
      audio.context->sample_fmt = AV_SAMPLE_FMT_FLTP;
      av_channel_layout_default(&audio.context->ch_layout, 2);
      audio.context->bit_rate = 96000;
      audio.context->time_base = {1, 44100};
      if (out->oformat->flags & AVFMT_GLOBALHEADER) audio.context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      ok = avcodec_open2(audio.context.get(), acodec, nullptr) >= 0 &&
           avcodec_parameters_from_context(audio.stream->codecpar, audio.context.get()) >= 0;
      audio.stream->time_base = audio.context->time_base;
    }
  }
  AVDictionary* options = nullptr;
  if (movie.fastStart) av_dict_set(&options, "movflags", "faststart", 0);
  if (ok) ok = avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0;
  if (ok) ok = avformat_write_header(out, &options) >= 0;
  av_dict_free(&options);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  if (ok) {
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = movie.width;
    frame->height = movie.height;
    ok = av_frame_get_buffer(frame, 0) >= 0;
  }
  AVFrame* samples = av_frame_alloc();
  int64_t samplesWritten = 0;
  if (ok && audio.context) {
    samples->format = audio.context->sample_fmt;
    samples->nb_samples = audio.context->frame_size;
    samples->sample_rate = 44100;
    av_channel_layout_copy(&samples->ch_layout, &audio.context->ch_layout);
    ok = av_frame_get_buffer(samples, 0) >= 0;
  }
  for (int i = 0; ok && i < movie.frames; ++i) {
    av_frame_make_writable(frame);
    paint(frame, i);
    frame->pts = i;
    ok = avcodec_send_frame(video.context.get(), frame) >= 0 && drain(out, video, packet);
    // Audio up to the end of this picture: a quiet tone.
    int64_t until = static_cast<int64_t>(i + 1) * 44100 / movie.framesPerSecond;
    while (ok && audio.context && samplesWritten < until) {
      av_frame_make_writable(samples);
      for (int c = 0; c < 2; ++c) {
        auto* data = reinterpret_cast<float*>(samples->data[c]);
        for (int s = 0; s < samples->nb_samples; ++s) {
          data[s] = 0.1f * std::sin(2 * M_PI * 440 * double(samplesWritten + s) / 44100);
        }
      }
      samples->pts = samplesWritten;
      samplesWritten += samples->nb_samples;
      ok = avcodec_send_frame(audio.context.get(), samples) >= 0 && drain(out, audio, packet);
    }
  }
  if (ok) {
    avcodec_send_frame(video.context.get(), nullptr);
    ok = drain(out, video, packet);
    if (audio.context) {
      avcodec_send_frame(audio.context.get(), nullptr);
      ok = ok && drain(out, audio, packet);
    }
    ok = ok && av_write_trailer(out) >= 0;
  }
  av_frame_free(&samples);
  av_packet_free(&packet);
  av_frame_free(&frame);
  if (out->pb) avio_closep(&out->pb);
  avformat_free_context(out);
  return ok;
}

int ReadFixturePictureIndex(const CGImageRef& image, CGRect rect) {
  if (!image) return -1;
  auto pixels = image->pixelData();
  size_t bpr = image->bytesPerRow();
  int index = 0;
  double y = rect.origin.y + rect.size.height * 2 / 3;
  for (int bit = 0; bit < 8; ++bit) {
    double x = rect.origin.x + rect.size.width * (bit + 0.5) / 8;
    size_t px = static_cast<size_t>(x), py = static_cast<size_t>(y);
    if (px >= image->width() || py >= image->height()) return -1;
    const uint8_t* p = pixels->data() + py * bpr + px * 4;
    // Green sits in the second byte in both RGBA and BGRA.
    int green = p[1];
    if (green > 170) {
      index |= 1 << bit;
    } else if (green > 80) {
      return -1;  // neither black nor white: a blend of pictures
    }
  }
  return index;
}

namespace {

// Exp-Golomb and fixed-width fields, most significant bit first.
class BitWriter {
 public:
  void bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
  }
  void ue(uint32_t value) {
    uint32_t v = value + 1;
    int length = 0;
    while ((v >> length) > 1) ++length;
    bits(0, length);
    bits(v, length + 1);
  }
  void se(int32_t value) { ue(value <= 0 ? uint32_t(-2 * value) : uint32_t(2 * value - 1)); }
  // The stop bit and zero padding to a byte.
  std::vector<uint8_t> finish() {
    bit(1);
    while (count_ % 8) bit(0);
    return bytes_;
  }

 private:
  void bit(int b) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= uint8_t(0x80 >> (count_ % 8));
    ++count_;
  }
  std::vector<uint8_t> bytes_;
  size_t count_ = 0;
};

void appendNal(std::string& out, uint8_t header, const std::vector<uint8_t>& rbsp) {
  out.append("\0\0\0\1", 4);
  out.push_back(static_cast<char>(header));
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {  // emulation prevention
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(static_cast<char>(b));
    zeros = b == 0 ? zeros + 1 : 0;
  }
}

}  // namespace

bool WriteHugeH264Stream(const std::string& path, int side) {
  uint32_t macroblocks = static_cast<uint32_t>((side + 15) / 16);
  BitWriter sps;
  sps.bits(66, 8);  // baseline profile
  sps.bits(0xC0, 8);
  sps.bits(52, 8);  // level 5.2
  sps.ue(0);        // sequence parameter set 0
  sps.ue(0);        // log2 max frame number - 4
  sps.ue(2);        // picture order count type
  sps.ue(1);        // reference frames
  sps.bits(0, 1);
  sps.ue(macroblocks - 1);
  sps.ue(macroblocks - 1);
  sps.bits(1, 1);  // frames only
  sps.bits(1, 1);  // direct 8x8 inference
  sps.bits(0, 1);  // no cropping
  sps.bits(0, 1);  // no VUI
  BitWriter pps;
  pps.ue(0);
  pps.ue(0);
  pps.bits(0, 1);
  pps.bits(0, 1);
  pps.ue(0);
  pps.ue(0);
  pps.ue(0);
  pps.bits(0, 1);
  pps.bits(0, 2);
  pps.se(0);
  pps.se(0);
  pps.se(0);
  pps.bits(1, 1);
  pps.bits(0, 1);
  pps.bits(0, 1);
  BitWriter slice;
  slice.ue(0);  // first macroblock
  slice.ue(7);  // I slice
  slice.ue(0);  // picture parameter set 0
  slice.bits(0, 4);
  slice.ue(0);  // IDR picture id
  auto spsBytes = sps.finish(), ppsBytes = pps.finish(), body = slice.finish();
  body.resize(body.size() + 64, 0x55);
  std::string out;
  for (int picture = 0; picture < 4; ++picture) {
    appendNal(out, 0x67, spsBytes);
    appendNal(out, 0x68, ppsBytes);
    appendNal(out, 0x65, body);
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  return std::fclose(file) == 0 && ok;
}

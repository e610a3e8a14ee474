#include "platform/avfoundation/internal/AVAssetExportSessionAudio.h"

#include <unistd.h>

#include <algorithm>

#include "platform/avfoundation/LibavLibrary.h"
#include "platform/avfoundation/LibavPointers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int kDefaultSampleRate = 44100;

// Everything one encode owns, released in one place.
struct Encode {
  // Released in the reverse order: the frames first, the input last.
  LibavInputPtr in;
  LibavOutputPtr out;
  LibavCodecPtr decoder;
  LibavCodecPtr encoder;
  LibavResamplerPtr resampler;
  LibavAudioFifoPtr fifo;
  LibavPacketPtr packet;
  LibavFramePtr decoded;
  LibavFramePtr frame;
  int stream = -1;
  int64_t nextPts = 0;

  // Sends one frame (or the end, for nullptr) and writes what comes out.
  int encodeAndWrite(AVFrame* input) {
    int rc = Libav().avcodec_send_frame(encoder.get(), input);
    if (rc < 0) return rc;
    for (;;) {
      rc = Libav().avcodec_receive_packet(encoder.get(), packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
      if (rc < 0) return rc;
      Libav().av_packet_rescale_ts(packet.get(), encoder->time_base, out->streams[0]->time_base);
      packet->stream_index = 0;
      rc = Libav().av_interleaved_write_frame(out.get(), packet.get());
      Libav().av_packet_unref(packet.get());
      if (rc < 0) return rc;
    }
  }

  // Encodes whole frames from the buffer; with `flush`, the last short one too.
  int drainFifo(bool flush) {
    const int size = encoder->frame_size > 0 ? encoder->frame_size : 1024;
    while (Libav().av_audio_fifo_size(fifo.get()) >= size ||
           (flush && Libav().av_audio_fifo_size(fifo.get()) > 0)) {
      const int n = std::min(size, Libav().av_audio_fifo_size(fifo.get()));
      Libav().av_frame_unref(frame.get());
      frame->nb_samples = n;
      frame->format = encoder->sample_fmt;
      frame->sample_rate = encoder->sample_rate;
      int rc = Libav().av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
      if (rc >= 0) rc = Libav().av_frame_get_buffer(frame.get(), 0);
      if (rc < 0) return rc;
      if (Libav().av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->data), n) < n) {
        return AVERROR(EIO);
      }
      frame->pts = nextPts;
      nextPts += n;
      rc = encodeAndWrite(frame.get());
      if (rc < 0) return rc;
    }
    return 0;
  }

  // Resamples `input` (nullptr: what the resampler still holds) into the buffer.
  int resample(const AVFrame* input) {
    const int in = input ? input->nb_samples : 0;
    const int room = Libav().swr_get_out_samples(resampler.get(), in);
    if (room <= 0) return 0;
    uint8_t** planes = nullptr;
    int rc = Libav().av_samples_alloc_array_and_samples(
        &planes, nullptr, encoder->ch_layout.nb_channels, room, encoder->sample_fmt, 0);
    if (rc < 0) return rc;
    int got = Libav().swr_convert(
        resampler.get(), planes, room,
        input ? const_cast<const uint8_t**>(input->extended_data) : nullptr, in);
    if (got > 0) {
      rc = Libav().av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(planes), got);
      if (rc >= 0) rc = 0;
    } else {
      rc = got;
    }
    Libav().av_freep(&planes[0]);
    Libav().av_freep(&planes);
    return rc;
  }

  int decodeAndBuffer(const AVPacket* input) {
    int rc = Libav().avcodec_send_packet(decoder.get(), input);
    if (rc < 0 && rc != AVERROR_EOF) return rc;
    for (;;) {
      rc = Libav().avcodec_receive_frame(decoder.get(), decoded.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
      if (rc < 0) return rc;
      rc = resample(decoded.get());
      Libav().av_frame_unref(decoded.get());
      if (rc < 0) return rc;
      rc = drainFifo(false);
      if (rc < 0) return rc;
    }
  }
};

int openDecoder(Encode& e, const std::string& source) {
  AVFormatContext* in = nullptr;
  int rc = Libav().avformat_open_input(&in, source.c_str(), nullptr, nullptr);
  e.in.reset(in);
  if (rc >= 0) rc = Libav().avformat_find_stream_info(e.in.get(), nullptr);
  if (rc < 0) return rc;
  const AVCodec* codec = nullptr;
  e.stream = Libav().av_find_best_stream(e.in.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (e.stream < 0) return e.stream;
  e.decoder.reset(Libav().avcodec_alloc_context3(codec));
  if (!e.decoder) return AVERROR(ENOMEM);
  rc = Libav().avcodec_parameters_to_context(e.decoder.get(), e.in->streams[e.stream]->codecpar);
  if (rc >= 0) rc = Libav().avcodec_open2(e.decoder.get(), codec, nullptr);
  if (rc >= 0 && e.decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    const int channels = e.decoder->ch_layout.nb_channels;
    Libav().av_channel_layout_uninit(&e.decoder->ch_layout);
    Libav().av_channel_layout_default(&e.decoder->ch_layout, channels);
  }
  return rc;
}

int openEncoder(Encode& e, const std::string& output) {
  const AVCodec* codec = Libav().avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!codec) return AVERROR_ENCODER_NOT_FOUND;
  e.encoder.reset(Libav().avcodec_alloc_context3(codec));
  if (!e.encoder) return AVERROR(ENOMEM);
  int rate = e.decoder->sample_rate > 0 ? e.decoder->sample_rate : kDefaultSampleRate;
  bool supported = false;
  for (const int* r = codec->supported_samplerates; r && *r; ++r) supported |= *r == rate;
  if (!supported) rate = kDefaultSampleRate;
  e.encoder->sample_rate = rate;
  e.encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  Libav().av_channel_layout_default(&e.encoder->ch_layout,
                                    e.decoder->ch_layout.nb_channels == 1 ? 1 : 2);
  e.encoder->bit_rate = 64000 * e.encoder->ch_layout.nb_channels;
  e.encoder->time_base = AVRational{1, rate};
  AVFormatContext* out = nullptr;
  int rc = Libav().avformat_alloc_output_context2(&out, nullptr, "ipod", output.c_str());
  e.out.reset(out);
  if (rc < 0) return rc;
  if (e.out->oformat->flags & AVFMT_GLOBALHEADER) e.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  rc = Libav().avcodec_open2(e.encoder.get(), codec, nullptr);
  if (rc < 0) return rc;
  AVStream* stream = Libav().avformat_new_stream(e.out.get(), nullptr);
  if (!stream) return AVERROR(ENOMEM);
  rc = Libav().avcodec_parameters_from_context(stream->codecpar, e.encoder.get());
  if (rc < 0) return rc;
  stream->time_base = e.encoder->time_base;
  Libav().av_dict_copy(&e.out->metadata, e.in->metadata, 0);
  Libav().av_dict_copy(&stream->metadata, e.in->streams[e.stream]->metadata, 0);
  SwrContext* resampler = nullptr;
  rc = Libav().swr_alloc_set_opts2(&resampler, &e.encoder->ch_layout, e.encoder->sample_fmt, rate,
                                   &e.decoder->ch_layout, e.decoder->sample_fmt,
                                   e.decoder->sample_rate, 0, nullptr);
  e.resampler.reset(resampler);
  if (rc >= 0) rc = Libav().swr_init(e.resampler.get());
  if (rc < 0) return rc;
  e.fifo.reset(
      Libav().av_audio_fifo_alloc(e.encoder->sample_fmt, e.encoder->ch_layout.nb_channels, 4096));
  e.packet.reset(Libav().av_packet_alloc());
  e.decoded.reset(Libav().av_frame_alloc());
  e.frame.reset(Libav().av_frame_alloc());
  if (!e.fifo || !e.packet || !e.decoded || !e.frame) return AVERROR(ENOMEM);
  rc = Libav().avio_open(&e.out->pb, output.c_str(), AVIO_FLAG_WRITE);
  if (rc >= 0) rc = Libav().avformat_write_header(e.out.get(), nullptr);
  return rc;
}

}  // namespace

bool AVExportAudioIsAAC(const std::string& path) {
  AVFormatContext* in = nullptr;
  if (Libav().avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return false;
  bool aac = false;
  if (Libav().avformat_find_stream_info(in, nullptr) >= 0) {
    int stream = Libav().av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    aac = stream >= 0 && in->streams[stream]->codecpar->codec_id == AV_CODEC_ID_AAC;
  }
  Libav().avformat_close_input(&in);
  return aac;
}

int AVExportEncodeAudioToM4A(const std::string& source, const std::string& output,
                             const std::function<bool()>& cancelled,
                             const std::function<void(float)>& progress) {
  int rc = 0;
  {
    Encode e;
    rc = openDecoder(e, source);
    if (rc >= 0) rc = openEncoder(e, output);
    const double duration =
        e.in && e.in->duration > 0 ? static_cast<double>(e.in->duration) / AV_TIME_BASE : 0;
    int count = 0;
    while (rc >= 0) {
      if (cancelled && cancelled()) {
        rc = AVERROR_EXIT;
        break;
      }
      int read = Libav().av_read_frame(e.in.get(), e.packet.get());
      if (read == AVERROR_EOF) break;
      if (read < 0) {
        rc = read;
        break;
      }
      if (e.packet->stream_index == e.stream) {
        rc = e.decodeAndBuffer(e.packet.get());
        if (progress && duration > 0 && ++count % 16 == 0) {
          progress(static_cast<float>(
              std::min(0.99, static_cast<double>(e.nextPts) / e.encoder->sample_rate / duration)));
        }
      }
      Libav().av_packet_unref(e.packet.get());
    }
    if (rc >= 0) rc = e.decodeAndBuffer(nullptr);
    if (rc >= 0) rc = e.resample(nullptr);
    if (rc >= 0) rc = e.drainFifo(true);
    if (rc >= 0) rc = e.encodeAndWrite(nullptr);
    if (rc >= 0) rc = Libav().av_write_trailer(e.out.get());
  }
  if (rc < 0) ::unlink(output.c_str());
  return rc;
}

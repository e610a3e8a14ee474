#include "platform/avfoundation/LibavPointers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

void LibavInputCloser::operator()(AVFormatContext* format) const { avformat_close_input(&format); }

void LibavOutputCloser::operator()(AVFormatContext* format) const {
  if (format && format->pb) avio_closep(&format->pb);
  avformat_free_context(format);
}

void LibavCodecFreer::operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }

void LibavFrameFreer::operator()(AVFrame* frame) const { av_frame_free(&frame); }

void LibavPacketFreer::operator()(AVPacket* packet) const { av_packet_free(&packet); }

void LibavScalerFreer::operator()(SwsContext* scaler) const { sws_freeContext(scaler); }

void LibavResamplerFreer::operator()(SwrContext* resampler) const { swr_free(&resampler); }

void LibavAudioFifoFreer::operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }

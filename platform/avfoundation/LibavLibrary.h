#pragma once
// The media libraries are loaded when media is first touched, not when the
// process starts: linked in, libavformat, libavcodec and libavdevice bring
// some two hundred shared libraries whose loading and start-up code cost
// every start of the host far more than all its own work. Code that calls
// libav opens the libraries through `LibavLoad` at its entry (an asset, a
// player item, an export, a thumbnail, a camera source) and answers its
// caller with the returned error when they cannot be loaded; after that it
// calls them through `Libav()`, e.g. `Libav().av_frame_alloc()`.
//
// libavdevice, which only cameras need and which alone brings most of the
// two hundred, is loaded on its own by `LibavLoadDevices`.

#include <string>
#include <vector>

#include "platform/foundation/NSError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// Every libav function the media stack calls, with the library that holds it.
#define QX_LIBAV_FUNCTIONS(X)                   \
  X(avutil, av_audio_fifo_alloc)                \
  X(avutil, av_audio_fifo_free)                 \
  X(avutil, av_audio_fifo_read)                 \
  X(avutil, av_audio_fifo_size)                 \
  X(avutil, av_audio_fifo_write)                \
  X(avutil, av_channel_layout_copy)             \
  X(avutil, av_channel_layout_default)          \
  X(avutil, av_channel_layout_uninit)           \
  X(avutil, av_dict_copy)                       \
  X(avutil, av_dict_free)                       \
  X(avutil, av_dict_get)                        \
  X(avutil, av_dict_set)                        \
  X(avutil, av_display_rotation_get)            \
  X(avutil, av_frame_alloc)                     \
  X(avutil, av_frame_free)                      \
  X(avutil, av_frame_get_buffer)                \
  X(avutil, av_frame_move_ref)                  \
  X(avutil, av_frame_unref)                     \
  X(avutil, av_free)                            \
  X(avutil, av_freep)                           \
  X(avutil, av_log_format_line2)                \
  X(avutil, av_log_set_callback)                \
  X(avutil, av_log_set_level)                   \
  X(avutil, av_malloc)                          \
  X(avutil, av_rescale_q)                       \
  X(avutil, av_samples_alloc_array_and_samples) \
  X(avutil, av_strerror)                        \
  X(avcodec, av_packet_alloc)                   \
  X(avcodec, av_packet_free)                    \
  X(avcodec, av_packet_rescale_ts)              \
  X(avcodec, av_packet_unref)                   \
  X(avcodec, avcodec_alloc_context3)            \
  X(avcodec, avcodec_find_decoder)              \
  X(avcodec, avcodec_find_encoder)              \
  X(avcodec, avcodec_flush_buffers)             \
  X(avcodec, avcodec_free_context)              \
  X(avcodec, avcodec_open2)                     \
  X(avcodec, avcodec_parameters_copy)           \
  X(avcodec, avcodec_parameters_from_context)   \
  X(avcodec, avcodec_parameters_to_context)     \
  X(avcodec, avcodec_receive_frame)             \
  X(avcodec, avcodec_receive_packet)            \
  X(avcodec, avcodec_send_frame)                \
  X(avcodec, avcodec_send_packet)               \
  X(avformat, av_codec_get_id)                  \
  X(avformat, av_find_best_stream)              \
  X(avformat, av_find_input_format)             \
  X(avformat, av_interleaved_write_frame)       \
  X(avformat, av_probe_input_format)            \
  X(avformat, av_probe_input_format2)           \
  X(avformat, av_read_frame)                    \
  X(avformat, av_seek_frame)                    \
  X(avformat, av_stream_get_side_data)          \
  X(avformat, av_stream_new_side_data)          \
  X(avformat, av_write_trailer)                 \
  X(avformat, avformat_alloc_context)           \
  X(avformat, avformat_alloc_output_context2)   \
  X(avformat, avformat_close_input)             \
  X(avformat, avformat_find_stream_info)        \
  X(avformat, avformat_free_context)            \
  X(avformat, avformat_new_stream)              \
  X(avformat, avformat_open_input)              \
  X(avformat, avformat_query_codec)             \
  X(avformat, avformat_seek_file)               \
  X(avformat, avformat_write_header)            \
  X(avformat, avio_alloc_context)               \
  X(avformat, avio_closep)                      \
  X(avformat, avio_context_free)                \
  X(avformat, avio_open)                        \
  X(avformat, avio_seek)                        \
  X(swscale, sws_freeContext)                   \
  X(swscale, sws_getCachedContext)              \
  X(swscale, sws_scale)                         \
  X(swresample, swr_alloc_set_opts2)            \
  X(swresample, swr_convert)                    \
  X(swresample, swr_free)                       \
  X(swresample, swr_get_out_samples)            \
  X(swresample, swr_init)

struct LibavFunctions {
#define QX_LIBAV_MEMBER(library, name) decltype(&::name) name = nullptr;
  QX_LIBAV_FUNCTIONS(QX_LIBAV_MEMBER)
#undef QX_LIBAV_MEMBER
};

// Loads the libraries once for the process; false with `error` (an
// AVFoundation error that names what is missing) when they cannot be. Any
// thread may call it; a failure is remembered and answered again.
bool LibavLoad(NSErrorPtr* error);

// The functions, loaded if need be; calling it where `LibavLoad` fails is a
// bug (the road should have answered its caller) and stops the process.
const LibavFunctions& Libav();

// Loads libavdevice and registers its input devices with libavformat, once;
// needs `LibavLoad` first. False with `error` when it cannot be loaded.
bool LibavLoadDevices(NSErrorPtr* error);

// Whether the codec libraries, and libavdevice, are loaded; neither loads.
bool LibavLoaded();
bool LibavDevicesLoaded();

// The shared-library file names the loader opens, in load order (the ones
// `LibavLoad` opens; libavdevice's is `LibavDeviceLibraryName`).
std::vector<std::string> LibavLibraryNames();
std::string LibavDeviceLibraryName();

// The loading itself, without the process-wide memory: opens `libraries` (by
// file name, in the order of `LibavLibraryNames`) and resolves each function
// in its own library. The seam the tests use to see a missing library or
// function reported; on failure `functions` is left as it was.
bool LibavResolve(const std::vector<std::string>& libraries, LibavFunctions& functions,
                  std::string& why);

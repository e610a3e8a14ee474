#pragma once
// Real media files for tests: images written through ImageIO (with EXIF
// orientation, date and GPS when asked) and short MPEG-4 videos encoded
// with libavcodec and muxed with libavformat.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/coregraphics/CGImage.h"

struct FixtureGPS {
  double latitude;   // negative: south
  double longitude;  // negative: west
  double altitude = 0;
};

// An opaque gradient (or half-transparent when `alpha`) whose top-left
// pixel is red, so orientation can be checked.
CGImageRef MakeFixtureBitmap(size_t width, size_t height, bool alpha = false);

// `type` is a type identifier ("public.jpeg", "public.png", "public.heic",
// "com.compuserve.gif"). `dateTimeOriginal` may end in an offset from UTC
// ("2020:01:01 12:00:00+02:00"), written as the original time's offset.
// False when nothing could be written.
bool WriteFixtureImage(const std::string& path, const std::string& type, size_t width,
                       size_t height, int exifOrientation = 1,
                       std::optional<FixtureGPS> gps = std::nullopt,
                       std::optional<std::string> dateTimeOriginal = std::nullopt,
                       bool alpha = false);

// An MPEG-4 (or QuickTime, by the ".mov" extension) video of `frames` frames
// at 10 frames per second; `creationTime` ("2024-05-01T12:00:00Z") goes
// into the container's metadata when given.
// `hevcTag` ("hvc1" or "hev1") writes HEVC under that sample entry instead
// of MPEG-4 Part 2.
bool WriteFixtureVideo(const std::string& path, int width, int height, int frames,
                       std::optional<std::string> creationTime = std::nullopt,
                       const std::string& hevcTag = "");

// The same video (MPEG-4 Part 2) with a mono AAC track as long as it,
// made by libavcodec's own AAC encoder.
bool WriteFixtureVideoWithAAC(const std::string& path, int width, int height, int frames);
// The media type of each stream of a file, in order ("video", "audio", ...);
// empty when it cannot be read.
std::vector<std::string> FixtureStreamTypes(const std::string& path);

// The four-character tag of the first video stream of a file ("" when none).
std::string FixtureVideoCodecTag(const std::string& path);

// A mono 16-bit PCM WAV file of `seconds` of a square tone at 22050 Hz, with
// a title tag (RIFF INFO "INAM") when given.
bool WriteFixtureTone(const std::string& path, double seconds,
                      const std::optional<std::string>& title);
// The codec name of the first audio stream of the file, "" when none.
std::string FixtureAudioCodec(const std::string& path);

// A sound file of `seconds` of square tones on `channels` channels at
// 44100 Hz: AAC at `aacBitRate` bits per second, made by libavcodec's own
// encoder, in the container the extension names (".m4a"), or with a bit
// rate of 0, 16-bit PCM (".wav").
bool WriteFixtureSound(const std::string& path, int channels, int64_t aacBitRate, double seconds);
struct FixtureAudioFormat {
  std::string codec;  // "" when the file has no audio
  int channels = 0;
  int64_t bitRate = 0;  // as the container gives it
};
// The first audio stream's codec, channels and bit rate.
FixtureAudioFormat FixtureAudioFormatOf(const std::string& path);

#pragma once
// Movies for playback tests, encoded with libavcodec (H.264 through libx264
// where Debian's libavcodec has it, MPEG-4 part 2 otherwise) and muxed with
// libavformat. Each picture shows its own index as a row of eight stripes
// (white for a set bit, lowest bit on the left) below a blue band, so a test
// can read which picture a renderer drew.

#include <optional>
#include <string>

#include "platform/coregraphics/CGImage.h"

struct FixtureMovie {
  int width = 160;
  int height = 90;
  int framesPerSecond = 30;
  int frames = 60;
  // A key frame every this many pictures.
  int keyFrameInterval = 30;
  bool withAudio = false;
  // The moov atom first, so the file can be read as it arrives.
  bool fastStart = false;
  // A size written into the container in place of the real one.
  std::optional<int> claimedSide{};
};

// The encoder used: "libx264" or "mpeg4".
std::string FixtureMovieEncoder();
bool WriteFixtureMovie(const std::string& path, const FixtureMovie& movie);
// The index a picture shows, read from its stripes (sampled at the centre
// of each stripe in the given rectangle of the image); -1 when unreadable.
int ReadFixturePictureIndex(const CGImageRef& image, CGRect pictureRect);

// An H.264 elementary stream (".h264") whose sequence header claims a
// picture of side x side pixels, followed by a picture header and a few
// bytes of a key frame: a hostile input that costs nothing to write.
bool WriteHugeH264Stream(const std::string& path, int side);

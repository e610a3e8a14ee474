#pragma once

// The audio part of the export session's M4A preset: a source whose audio is
// already AAC is copied as it is; anything else is decoded and encoded anew
// as AAC with libavcodec's own encoder.

#include <functional>
#include <string>

// True when the first audio stream of the file at `path` is AAC.
bool AVExportAudioIsAAC(const std::string& path);

// Decodes the first audio stream of `source` and writes it as AAC in an M4A
// file at `output` (which must not exist), with the source's tags. Returns 0,
// or a negative libav error; AVERROR_EXIT when `cancelled` answered true. A
// failed or cancelled export leaves no file. `progress` gets the share of the
// source's duration written so far.
int AVExportEncodeAudioToM4A(const std::string& source, const std::string& output,
                             const std::function<bool()>& cancelled,
                             const std::function<void(float)>& progress);

#pragma once
// The error domain and codes of timed media, with the platform's values.

#include <cstdint>

extern const char* const AVFoundationErrorDomain;
enum AVError : int64_t {
  AVErrorUnknown = -11800,
  AVErrorExportFailed = -11820,
  AVErrorDecodeFailed = -11821,
  AVErrorFileAlreadyExists = -11823,
  AVErrorFileFormatNotRecognized = -11828,
  AVErrorFileFailedToParse = -11829,
  AVErrorDecoderNotFound = -11833,
  AVErrorInvalidOutputURLPathExtension = -11843,
  AVErrorServerIncorrectlyConfigured = -11850,
};

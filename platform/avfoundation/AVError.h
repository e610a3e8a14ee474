#pragma once

// The error domain and codes of the AVFoundation stand-in (the platform's values).

#include <cstdint>

extern const char* const AVFoundationErrorDomain;
enum AVError : int64_t {
  AVErrorUnknown = -11800,
  AVErrorSessionNotRunning = -11803,
  AVErrorDeviceNotConnected = -11814,
  AVErrorMediaServicesWereReset = -11819,
  AVErrorExportFailed = -11820,
  AVErrorFileAlreadyExists = -11823,
  AVErrorFileFormatNotRecognized = -11828,
  AVErrorInvalidOutputURLPathExtension = -11843,
};

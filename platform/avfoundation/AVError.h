#pragma once
// The error domain and codes of timed media, with the platform's values.

#include <cstdint>

extern const char* const AVFoundationErrorDomain;
enum AVError : int64_t {
  AVErrorUnknown = -11800,
  AVErrorSessionNotRunning = -11803,
  AVErrorDeviceNotConnected = -11814,
  AVErrorMediaServicesWereReset = -11819,
  AVErrorExportFailed = -11820,
  AVErrorDecodeFailed = -11821,
  AVErrorFileAlreadyExists = -11823,
  AVErrorFileFormatNotRecognized = -11828,
  AVErrorFileFailedToParse = -11829,
  AVErrorDecoderNotFound = -11833,
  AVErrorInvalidOutputURLPathExtension = -11843,
  AVErrorServerIncorrectlyConfigured = -11850,
  AVErrorApplicationIsNotAuthorizedToUseDevice = -11852,
};

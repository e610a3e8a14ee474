#pragma once

// The URL loading system's error domain and codes, and how curl's failures
// map onto them.

#include <cstdint>
#include <string>

#include "platform/foundation/NSError.h"

extern const char* const NSURLErrorDomain;
// The failing URL's string in an error's user info.
extern const char* const NSURLErrorFailingURLStringErrorKey;

inline constexpr int64_t NSURLErrorUnknown = -1;
inline constexpr int64_t NSURLErrorCancelled = -999;
inline constexpr int64_t NSURLErrorBadURL = -1000;
inline constexpr int64_t NSURLErrorTimedOut = -1001;
inline constexpr int64_t NSURLErrorUnsupportedURL = -1002;
inline constexpr int64_t NSURLErrorCannotFindHost = -1003;
inline constexpr int64_t NSURLErrorCannotConnectToHost = -1004;
inline constexpr int64_t NSURLErrorNetworkConnectionLost = -1005;
inline constexpr int64_t NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr int64_t NSURLErrorResourceUnavailable = -1008;
inline constexpr int64_t NSURLErrorNotConnectedToInternet = -1009;
inline constexpr int64_t NSURLErrorBadServerResponse = -1011;
inline constexpr int64_t NSURLErrorCannotDecodeContentData = -1016;
// Cellular refusals: this system's loader never reports them, but callers
// that sort errors still name them.
inline constexpr int64_t NSURLErrorInternationalRoamingOff = -1018;
inline constexpr int64_t NSURLErrorDataNotAllowed = -1020;
inline constexpr int64_t NSURLErrorFileDoesNotExist = -1100;
inline constexpr int64_t NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr int64_t NSURLErrorSecureConnectionFailed = -1200;
inline constexpr int64_t NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr int64_t NSURLErrorClientCertificateRejected = -1205;

// The URL error code for a curl result (a CURLcode); 0 for success.
int64_t NSURLErrorCodeForCurlCode(int curlCode);
// An error in the URL domain with a description and the failing URL.
NSErrorPtr NSURLErrorMake(int64_t code, const std::string& failingURL,
                          const std::string& description = "");

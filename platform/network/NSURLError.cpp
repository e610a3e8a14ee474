#include "platform/network/NSURLError.h"

#include <curl/curl.h>

#include "platform/foundation/Value.h"

const char* const NSURLErrorDomain = "NSURLErrorDomain";
const char* const NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

int64_t NSURLErrorCodeForCurlCode(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
      return 0;
    case CURLE_ABORTED_BY_CALLBACK:
      return NSURLErrorCancelled;
    case CURLE_URL_MALFORMAT:
      return NSURLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return NSURLErrorUnsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return NSURLErrorTimedOut;
    case CURLE_TOO_MANY_REDIRECTS:
      return NSURLErrorHTTPTooManyRedirects;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return NSURLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP3:
      return NSURLErrorBadServerResponse;
    case CURLE_BAD_CONTENT_ENCODING:
      return NSURLErrorCannotDecodeContentData;
    case CURLE_FILESIZE_EXCEEDED:
      return NSURLErrorDataLengthExceedsMaximum;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return NSURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
      return NSURLErrorSecureConnectionFailed;
    case CURLE_SSL_CERTPROBLEM:
      return NSURLErrorClientCertificateRejected;
    default:
      return NSURLErrorUnknown;
  }
}

NSErrorPtr NSURLErrorMake(int64_t code, const std::string& failingURL, const std::string& description) {
  std::string text = description;
  if (text.empty()) text = code == NSURLErrorCancelled ? "cancelled" : "The URL load failed.";
  return NSError::errorWithDomain(NSURLErrorDomain, code,
                                  Value::map({{NSLocalizedDescriptionKey, Value(text)},
                                              {NSURLErrorFailingURLStringErrorKey, Value(failingURL)}}));
}

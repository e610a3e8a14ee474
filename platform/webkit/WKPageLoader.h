#pragma once

// What loads a web view's pages: the URL session by default; tests may
// install a loader of their own to play what a server cannot (a stall, the
// web content process ending). A load reports to its client, in order:
// redirects (each waiting for the client's answer), the response, the body
// in pieces, then one end, or instead of an end the process terminating.
// Reports may come on any thread, one at a time per load.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/foundation/NSError.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/network/NSURLRequest.h"

class WKPageLoadClient {
 public:
  virtual ~WKPageLoadClient() = default;
  // `decide(true)` follows to `request`, `decide(false)` ends the load.
  virtual void willRedirect(const NSURLRequestPtr& request, OnceCallback<void(bool)> decide) = 0;
  virtual void didReceiveResponse(const NSHTTPURLResponsePtr& response) = 0;
  virtual void didReceiveData(const uint8_t* bytes, size_t length) = 0;
  // Null on success (whatever the HTTP status); else the transport's error.
  virtual void didFinish(const NSErrorPtr& error) = 0;
  virtual void webContentProcessDidTerminate() = 0;
};

class WKPageLoad {
 public:
  virtual ~WKPageLoad() = default;
  // Ends the load; its client hears nothing more from it.
  virtual void cancel() = 0;
};

class WKPageLoader {
 public:
  virtual ~WKPageLoader() = default;
  virtual std::shared_ptr<WKPageLoad> load(const NSURLRequestPtr& request,
                                           std::shared_ptr<WKPageLoadClient> client) = 0;

  // The loader web views use from now on; null puts the URL session back.
  static void setDefaultLoader(std::shared_ptr<WKPageLoader> loader);
  static std::shared_ptr<WKPageLoader> defaultLoader();
};

// Loads through one URL session of its own (with the request's cache policy
// and timeout). A page longer than kMaxPageBytes ends there with
// NSURLErrorDataLengthExceedsMaximum: the body streams to the client and is
// never held whole, so a page of gigabytes costs at most that much transfer.
class WKURLSessionPageLoader : public WKPageLoader {
 public:
  static constexpr uint64_t kMaxPageBytes = 32u << 20;
  std::shared_ptr<WKPageLoad> load(const NSURLRequestPtr& request,
                                   std::shared_ptr<WKPageLoadClient> client) override;
};

#pragma once

// What a task's loads cost, as curl measured them: one transaction per
// request the task made (each redirect, each retry with credentials, and a
// response served from the cache), then the whole task's interval.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSObject.h"
#include "platform/network/NSURLRequest.h"

enum class NSURLSessionTaskMetricsResourceFetchType {
  Unknown = 0,
  NetworkLoad = 1,
  ServerPush = 2,
  LocalCache = 3,
};

// Dates are seconds since 1970 on the wall clock; a phase that did not happen
// (no lookup or connect on a reused connection, no TLS over plain HTTP) is
// nullopt.
struct NSURLSessionTaskTransactionMetrics {
  NSURLRequestPtr request;
  NSHTTPURLResponsePtr response;
  NSURLSessionTaskMetricsResourceFetchType resourceFetchType =
      NSURLSessionTaskMetricsResourceFetchType::Unknown;
  std::optional<double> fetchStartDate;
  std::optional<double> domainLookupStartDate;
  std::optional<double> domainLookupEndDate;
  std::optional<double> connectStartDate;
  std::optional<double> secureConnectionStartDate;
  std::optional<double> secureConnectionEndDate;
  std::optional<double> connectEndDate;
  std::optional<double> requestStartDate;
  std::optional<double> responseStartDate;
  std::optional<double> responseEndDate;
  // "http/1.0", "http/1.1", "h2", "h3"; empty when not known.
  std::string networkProtocolName;
  bool reusedConnection = false;
  std::string remoteAddress;
  int64_t remotePort = 0;
  int64_t countOfResponseBodyBytesReceived = 0;
};

class NSURLSessionTaskMetrics;
using NSURLSessionTaskMetricsPtr = std::shared_ptr<NSURLSessionTaskMetrics>;

class NSURLSessionTaskMetrics : public NSObject {
 public:
  NSURLSessionTaskMetrics(std::vector<NSURLSessionTaskTransactionMetrics> transactions,
                          double taskIntervalStart, double taskIntervalDuration, int64_t redirectCount);

  const std::vector<NSURLSessionTaskTransactionMetrics>& transactionMetrics() const { return transactions_; }
  // From resume to completion, wall-clock seconds.
  double taskIntervalStart() const { return start_; }
  double taskIntervalDuration() const { return duration_; }
  int64_t redirectCount() const { return redirects_; }

  std::string description() const override;

 private:
  std::vector<NSURLSessionTaskTransactionMetrics> transactions_;
  double start_;
  double duration_;
  int64_t redirects_;
};

#include "platform/network/NSURLSessionTaskMetrics.h"

NSURLSessionTaskMetrics::NSURLSessionTaskMetrics(std::vector<NSURLSessionTaskTransactionMetrics> transactions,
                                                 double taskIntervalStart, double taskIntervalDuration,
                                                 int64_t redirectCount)
    : transactions_(std::move(transactions)),
      start_(taskIntervalStart),
      duration_(taskIntervalDuration),
      redirects_(redirectCount) {}

std::string NSURLSessionTaskMetrics::description() const {
  return "<NSURLSessionTaskMetrics transactions " + std::to_string(transactions_.size()) + ", redirects " +
         std::to_string(redirects_) + ", duration " + std::to_string(duration_) + "s>";
}

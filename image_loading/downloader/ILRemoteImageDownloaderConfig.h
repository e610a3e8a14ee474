#pragma once

// The settings of a downloader. A downloader keeps its own copy; a change of
// maxConcurrentDownloads on that copy (its config()) takes effect at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "image_loading/downloader/ILRemoteImageDownloaderOperation.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/ObservableProperty.h"
#include "platform/network/NSURLSession.h"

using ILDownloadExecutionOrder = int64_t;
inline constexpr ILDownloadExecutionOrder ILDownloadFIFOExecutionOrder = 0;
inline constexpr ILDownloadExecutionOrder ILDownloadLIFOExecutionOrder = 1;

// How new download operations are made in place of the default class. The
// result must be an operation of the downloader's kind, which its type makes
// sure of; nullptr makes the download fail.
using ILRemoteImageDownloaderOperationClass =
    std::function<ILRemoteImageDownloaderOperationProtocolPtr(
        const NSURLRequestPtr& request, const NSURLSessionPtr& session, ILDownloadOptions options,
        const ILRemoteImageContext& context)>;

class ILRemoteImageDownloaderConfig;
using ILRemoteImageDownloaderConfigPtr = std::shared_ptr<ILRemoteImageDownloaderConfig>;

class ILRemoteImageDownloaderConfig : public NSKeyValueObservable {
 public:
  static constexpr double kDefaultDownloadTimeout = 15.0;

  // One shared instance with the defaults, made once.
  static ILRemoteImageDownloaderConfigPtr defaultDownloaderConfig();
  // A new instance with every setting of this one.
  ILRemoteImageDownloaderConfigPtr copy() const;

  int64_t maxConcurrentDownloads() const { return maxConcurrentDownloads_; }
  void setMaxConcurrentDownloads(int64_t count) { maxConcurrentDownloads_.set(count); }

  // Seconds; 0 stands for the default.
  double downloadTimeout = kDefaultDownloadTimeout;
  // Least step of the progress fraction between two reports.
  double minimumProgressInterval = 0;
  // The system default configuration when none.
  std::optional<NSURLSessionConfiguration> sessionConfiguration;
  // ILRemoteImageDownloaderOperation when none.
  ILRemoteImageDownloaderOperationClass operationClass;
  ILDownloadExecutionOrder executionOrder = ILDownloadFIFOExecutionOrder;
  // The credential for authentication challenges; without one, username
  // and password are used together.
  NSURLCredentialPtr urlCredential;
  std::optional<std::string> username;
  std::optional<std::string> password;
  // 200 to 299 by default; none accepts every code.
  std::optional<ILStatusCodeSet> acceptableStatusCodes = defaultAcceptableStatusCodes();
  // None accepts every type.
  std::optional<ILContentTypeSet> acceptableContentTypes;

  static ILStatusCodeSet defaultAcceptableStatusCodes();

 private:
  ObservableProperty<int64_t> maxConcurrentDownloads_{this, "maxConcurrentDownloads", 6};
};

#include "image_loading/downloader/ILRemoteImageDownloaderConfig.h"

ILRemoteImageDownloaderConfigPtr ILRemoteImageDownloaderConfig::defaultDownloaderConfig() {
  static const auto shared = std::make_shared<ILRemoteImageDownloaderConfig>();
  return shared;
}

ILRemoteImageDownloaderConfigPtr ILRemoteImageDownloaderConfig::copy() const {
  auto other = std::make_shared<ILRemoteImageDownloaderConfig>();
  other->setMaxConcurrentDownloads(maxConcurrentDownloads());
  other->downloadTimeout = downloadTimeout;
  other->minimumProgressInterval = minimumProgressInterval;
  other->sessionConfiguration = sessionConfiguration;
  other->operationClass = operationClass;
  other->executionOrder = executionOrder;
  other->urlCredential = urlCredential;
  other->username = username;
  other->password = password;
  other->acceptableStatusCodes = acceptableStatusCodes;
  other->acceptableContentTypes = acceptableContentTypes;
  return other;
}

ILStatusCodeSet ILRemoteImageDownloaderConfig::defaultAcceptableStatusCodes() {
  ILStatusCodeSet codes;
  for (int64_t code = 200; code < 300; ++code) codes.insert(code);
  return codes;
}

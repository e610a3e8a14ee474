#pragma once

// The application's name, identifier, version and build number from the main
// bundle, where it was installed from, and when it was installed and updated.

#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/NSDate.h"
#include "platform/foundation/NSObject.h"

class TQPackageInfoPlugin : public NSObject, public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;

  // Creation date of the documents folder, made when the app first ran.
  std::shared_ptr<NSDate> getInstallDate() const;
  // Modification date of the main bundle, which an update replaces.
  std::shared_ptr<NSDate> getUpdateDate() const;
  // Milliseconds since 1970 truncated toward zero, in decimal; nothing for
  // no date.
  static std::optional<std::string> getTimeMillisStringFromDate(
      const std::shared_ptr<NSDate>& date);
  // "com.apple.simulator", "com.apple.testflight" or "com.apple", from the
  // path of the bundle's store receipt.
  static std::string installerStoreForReceiptPath(const std::optional<std::string>& path);

  Value packageInfo() const;
};

#include "TQPackageInfoPlugin.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/Value.h"

namespace {

const char* const kChannel = "dev.tarnquell.plugins/package_info";

Value stringOrNull(const std::optional<std::string>& s) { return s ? Value(*s) : Value(); }

std::shared_ptr<NSDate> dateAttribute(const std::string& path, const char* key) {
  NSErrorPtr error;
  auto attributes = NSFileManager::defaultManager()->attributesOfItemAtPath(path, &error);
  if (error || !attributes) return nullptr;
  const Value* seconds = attributes->find(key);
  if (!seconds || !seconds->isNumber()) return nullptr;
  return NSDate::dateWithTimeIntervalSince1970(seconds->asDouble());
}

}  // namespace

void TQPackageInfoPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannel, registrar->messenger());
  registrar->addMethodCallDelegate(std::make_shared<TQPackageInfoPlugin>(), channel);
}

void TQPackageInfoPlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method == "getAll") {
    result(packageInfo());
  } else {
    result(FlutterMethodNotImplemented);
  }
}

Value TQPackageInfoPlugin::packageInfo() const {
  auto bundle = NSBundle::mainBundle();
  Value appName = bundle->objectForInfoDictionaryKey("CFBundleDisplayName");
  if (appName.isNull()) appName = bundle->objectForInfoDictionaryKey("CFBundleName");
  auto receipt = bundle->appStoreReceiptURL();
  auto receiptPath = receipt ? std::optional<std::string>(receipt->path()) : std::nullopt;
  return Value::map({
      {"appName", appName},
      {"packageName", stringOrNull(bundle->bundleIdentifier())},
      {"version", bundle->objectForInfoDictionaryKey("CFBundleShortVersionString")},
      {"buildNumber", bundle->objectForInfoDictionaryKey("CFBundleVersion")},
      {"installerStore", Value(installerStoreForReceiptPath(receiptPath))},
      {"installTime", stringOrNull(getTimeMillisStringFromDate(getInstallDate()))},
      {"updateTime", stringOrNull(getTimeMillisStringFromDate(getUpdateDate()))},
  });
}

std::string TQPackageInfoPlugin::installerStoreForReceiptPath(
    const std::optional<std::string>& path) {
  if (!path) return "com.apple";
  if (path->find("CoreSimulator") != std::string::npos) return "com.apple.simulator";
  if (path->find("sandboxReceipt") != std::string::npos) return "com.apple.testflight";
  return "com.apple";
}

std::shared_ptr<NSDate> TQPackageInfoPlugin::getInstallDate() const {
  auto urls = NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Documents);
  if (urls.empty() || !urls.back()) return nullptr;
  return dateAttribute(urls.back()->path(), NSFileCreationDate);
}

std::shared_ptr<NSDate> TQPackageInfoPlugin::getUpdateDate() const {
  return dateAttribute(NSBundle::mainBundle()->bundlePath(), NSFileModificationDate);
}

std::optional<std::string> TQPackageInfoPlugin::getTimeMillisStringFromDate(
    const std::shared_ptr<NSDate>& date) {
  if (!date) return std::nullopt;
  double millis = date->timeIntervalSince1970() * 1000.0;
  if (std::isnan(millis)) return std::nullopt;
  // Truncation toward zero; dates beyond the 64-bit range saturate.
  constexpr double kLimit = 9223372036854775807.0;
  if (millis >= kLimit) return std::to_string(std::numeric_limits<int64_t>::max());
  if (millis <= -kLimit) return std::to_string(std::numeric_limits<int64_t>::min());
  return std::to_string(static_cast<int64_t>(millis));
}

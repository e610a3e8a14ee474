#pragma once

// The URL launcher's generated message channels: the two result
// enumerations, the plugin's codec (custom types 129 and 130), the API and
// its setup. These names also exist in the other plugins with generated
// channels, hence the namespace, named after the plugin's module.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/FlutterCodec.h"
#include "platform/flutter/FlutterPigeonSupport.h"

namespace url_launcher_ios {

enum class LaunchResult : int64_t {
  success = 0,
  failure = 1,
  invalidUrl = 2,
};

enum class InAppLoadResult : int64_t {
  success = 0,
  failedToLoad = 1,
  invalidUrl = 2,
  noUI = 3,
  dismissed = 4,
};

// nullopt for a raw value outside the cases.
std::optional<LaunchResult> LaunchResultFromRaw(int64_t raw);
std::optional<InAppLoadResult> InAppLoadResultFromRaw(int64_t raw);

// An enumeration value inside a codec value.
template <class E>
class PigeonEnumBox : public NSObject {
 public:
  explicit PigeonEnumBox(E value) : value_(value) {}
  E value() const { return value_; }
  bool isEqual(const NSObject& other) const override {
    auto* o = dynamic_cast<const PigeonEnumBox*>(&other);
    return o && o->value_ == value_;
  }
  size_t hash() const override { return static_cast<size_t>(value_); }

 private:
  E value_;
};

using LaunchResultBox = PigeonEnumBox<LaunchResult>;
using InAppLoadResultBox = PigeonEnumBox<InAppLoadResult>;

Value LaunchResultValue(LaunchResult result);
Value InAppLoadResultValue(InAppLoadResult result);

class PigeonError : public FlutterPigeonError {
 public:
  using FlutterPigeonError::FlutterPigeonError;
};

class MessagesPigeonCodecReader : public FlutterStandardReader {
 public:
  using FlutterStandardReader::FlutterStandardReader;
  Value readValueOfType(uint8_t type) override;
};

class MessagesPigeonCodecWriter : public FlutterStandardWriter {
 public:
  using FlutterStandardWriter::FlutterStandardWriter;
  void writeValue(const Value& value) override;
};

class MessagesPigeonCodecReaderWriter : public FlutterStandardReaderWriter {
 public:
  std::unique_ptr<FlutterStandardWriter> writerWithData(Bytes& data) const override;
  std::unique_ptr<FlutterStandardReader> readerWithData(const uint8_t* data,
                                                        size_t length) const override;
};

class MessagesPigeonCodec : public FlutterStandardMessageCodec {
 public:
  using FlutterStandardMessageCodec::FlutterStandardMessageCodec;
  // The one codec of every URL launcher channel, made on first use.
  static std::shared_ptr<MessagesPigeonCodec> shared();
};

// Synchronous operations throw to fail; the others hand a failure to their
// completion.
class UrlLauncherApi {
 public:
  virtual ~UrlLauncherApi() = default;
  virtual LaunchResult canLaunchUrl(const std::string& url) = 0;
  virtual void launchUrl(const std::string& url, bool universalLinksOnly,
                         OnceCallback<void(PigeonResult<LaunchResult>)> completion) = 0;
  virtual void openUrlInSafariViewController(
      const std::string& url, OnceCallback<void(PigeonResult<InAppLoadResult>)> completion) = 0;
  virtual void closeSafariViewController() = 0;
};

class UrlLauncherApiSetup {
 public:
  // Channels "canLaunchUrl", "launchUrl", "openUrlInSafariViewController",
  // "closeSafariViewController"; no API removes their handlers.
  static void setUp(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                    const std::shared_ptr<UrlLauncherApi>& api,
                    const std::string& messageChannelSuffix = "");
};

}  // namespace url_launcher_ios

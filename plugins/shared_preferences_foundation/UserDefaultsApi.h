#pragma once

// The preferences plugin's generated message channels: the options record, the
// plugin's own codec (custom type 129), the two APIs and their setup.
// These names also exist in the other plugins with generated channels, hence
// the namespace, named after the plugin's module.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/FlutterCodec.h"
#include "platform/flutter/FlutterPigeonSupport.h"

namespace shared_preferences_foundation {

// Which user-defaults suite an operation works on; no name is the
// application's own defaults.
class SharedPreferencesPigeonOptions : public NSObject {
 public:
  explicit SharedPreferencesPigeonOptions(std::optional<std::string> suiteName = std::nullopt)
      : suiteName_(std::move(suiteName)) {}

  const std::optional<std::string>& suiteName() const { return suiteName_; }

  // Element 0 is the suite name, null meaning none; nullopt for any other shape.
  static std::optional<SharedPreferencesPigeonOptions> fromList(const Value& list);
  Value toList() const;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  std::optional<std::string> suiteName_;
};

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
  // The one codec of every preferences channel, made on first use.
  static std::shared_ptr<MessagesPigeonCodec> shared();
};

using StringList = std::vector<std::string>;
using OptionalStringList = std::optional<StringList>;

// Operations throw to fail; what they throw becomes the error reply.
class UserDefaultsApi {
 public:
  virtual ~UserDefaultsApi() = default;
  virtual void set(const std::string& key, const Value& value,
                   const SharedPreferencesPigeonOptions& options) = 0;
  virtual void clear(const OptionalStringList& allowList,
                     const SharedPreferencesPigeonOptions& options) = 0;
  virtual ValueMap getAll(const OptionalStringList& allowList,
                          const SharedPreferencesPigeonOptions& options) = 0;
  virtual Value getValue(const std::string& key, const SharedPreferencesPigeonOptions& options) = 0;
  virtual StringList getKeys(const OptionalStringList& allowList,
                             const SharedPreferencesPigeonOptions& options) = 0;
};

class UserDefaultsApiSetup {
 public:
  // Channels "set", "clear", "getAll", "getValue", "getKeys"; no API removes
  // their handlers.
  static void setUp(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                    const std::shared_ptr<UserDefaultsApi>& api,
                    const std::string& messageChannelSuffix = "");
};

class LegacyUserDefaultsApi {
 public:
  virtual ~LegacyUserDefaultsApi() = default;
  virtual void remove(const std::string& key) = 0;
  virtual void setBool(const std::string& key, bool value) = 0;
  virtual void setDouble(const std::string& key, double value) = 0;
  virtual void setValue(const std::string& key, const Value& value) = 0;
  virtual ValueMap getAll(const std::string& prefix, const OptionalStringList& allowList) = 0;
  virtual bool clear(const std::string& prefix, const OptionalStringList& allowList) = 0;
};

class LegacyUserDefaultsApiSetup {
 public:
  // Channels "remove", "setBool", "setDouble", "setValue", "getAll", "clear".
  static void setUp(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                    const std::shared_ptr<LegacyUserDefaultsApi>& api,
                    const std::string& messageChannelSuffix = "");
};

}  // namespace shared_preferences_foundation

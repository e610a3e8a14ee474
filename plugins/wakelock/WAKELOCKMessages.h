#pragma once

// The wakelock plugin's generated message channels (message-class variant):
// the two message classes, the plugin's codec (custom types 129 and 130), the
// API protocol and its setup.

#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/FlutterCodec.h"
#include "platform/flutter/FlutterPigeonSupport.h"

class WAKELOCKToggleMessage : public NSObject {
 public:
  static std::shared_ptr<WAKELOCKToggleMessage> makeWithEnable(std::optional<bool> enable);
  // Element 0, null read as absent; nullptr when the list is empty or element
  // 0 is neither null, a boolean nor a number.
  static std::shared_ptr<WAKELOCKToggleMessage> fromList(const ValueList& list);
  // nullptr for the null value, else fromList (nullptr for a non-list too).
  static std::shared_ptr<WAKELOCKToggleMessage> nullableFromList(const Value& list);
  Value toList() const;

  const std::optional<bool>& enable() const { return enable_; }
  void setEnable(std::optional<bool> enable) { enable_ = enable; }

 private:
  std::optional<bool> enable_;
};

class WAKELOCKIsEnabledMessage : public NSObject {
 public:
  static std::shared_ptr<WAKELOCKIsEnabledMessage> makeWithEnabled(std::optional<bool> enabled);
  static std::shared_ptr<WAKELOCKIsEnabledMessage> fromList(const ValueList& list);
  static std::shared_ptr<WAKELOCKIsEnabledMessage> nullableFromList(const Value& list);
  Value toList() const;

  const std::optional<bool>& enabled() const { return enabled_; }
  void setEnabled(std::optional<bool> enabled) { enabled_ = enabled; }

 private:
  std::optional<bool> enabled_;
};

class WAKELOCKMessagesPigeonCodecReader : public FlutterStandardReader {
 public:
  using FlutterStandardReader::FlutterStandardReader;
  Value readValueOfType(uint8_t type) override;
};

class WAKELOCKMessagesPigeonCodecWriter : public FlutterStandardWriter {
 public:
  using FlutterStandardWriter::FlutterStandardWriter;
  void writeValue(const Value& value) override;
};

class WAKELOCKMessagesPigeonCodecReaderWriter : public FlutterStandardReaderWriter {
 public:
  std::unique_ptr<FlutterStandardWriter> writerWithData(Bytes& data) const override;
  std::unique_ptr<FlutterStandardReader> readerWithData(const uint8_t* data,
                                                        size_t length) const override;
};

// The one codec of the wakelock channels, made on first use.
std::shared_ptr<FlutterStandardMessageCodec> WAKELOCKGetMessagesCodec();

// Operations report failure through `error` (left null on success).
class WAKELOCKWakelockApi {
 public:
  virtual ~WAKELOCKWakelockApi() = default;
  virtual void toggleMsg(const std::shared_ptr<WAKELOCKToggleMessage>& msg,
                         FlutterErrorPtr* error) = 0;
  virtual std::shared_ptr<WAKELOCKIsEnabledMessage> isEnabledWithError(FlutterErrorPtr* error) = 0;
};

// Channels "toggle" and "isEnabled"; no API removes their handlers.
void SetUpWAKELOCKWakelockApiWithSuffix(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                                        const std::shared_ptr<WAKELOCKWakelockApi>& api,
                                        const std::string& messageChannelSuffix);
void SetUpWAKELOCKWakelockApi(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                              const std::shared_ptr<WAKELOCKWakelockApi>& api);

#include "plugins/wakelock/WAKELOCKMessages.h"

namespace {

constexpr uint8_t kToggleType = 129;
constexpr uint8_t kIsEnabledType = 130;

const char* const kPrefix = "dev.flutter.pigeon.wakelock_platform_interface.WakelockApi.";

// The one field of both messages: a boolean held as a number, or absent.
// nullopt-of-optional marks a field of the wrong kind.
std::optional<std::optional<bool>> booleanField(const ValueList& list) {
  std::optional<std::optional<bool>> field;
  if (list.empty()) return field;
  const Value& v = list[0];
  if (v.isNull()) {
    field.emplace();
  } else if (v.isBool()) {
    field.emplace(v.asBool());
  } else if (v.isNumber()) {
    field.emplace(v.asDouble() != 0);
  }
  return field;
}

Value booleanValue(const std::optional<bool>& b) { return b ? Value(*b) : Value(); }

}  // namespace

std::shared_ptr<WAKELOCKToggleMessage> WAKELOCKToggleMessage::makeWithEnable(
    std::optional<bool> enable) {
  auto message = std::make_shared<WAKELOCKToggleMessage>();
  message->enable_ = enable;
  return message;
}

std::shared_ptr<WAKELOCKToggleMessage> WAKELOCKToggleMessage::fromList(const ValueList& list) {
  auto field = booleanField(list);
  return field ? makeWithEnable(*field) : nullptr;
}

std::shared_ptr<WAKELOCKToggleMessage> WAKELOCKToggleMessage::nullableFromList(const Value& list) {
  return list.isList() ? fromList(list.asList()) : nullptr;
}

Value WAKELOCKToggleMessage::toList() const { return Value::list({booleanValue(enable_)}); }

std::shared_ptr<WAKELOCKIsEnabledMessage> WAKELOCKIsEnabledMessage::makeWithEnabled(
    std::optional<bool> enabled) {
  auto message = std::make_shared<WAKELOCKIsEnabledMessage>();
  message->enabled_ = enabled;
  return message;
}

std::shared_ptr<WAKELOCKIsEnabledMessage> WAKELOCKIsEnabledMessage::fromList(
    const ValueList& list) {
  auto field = booleanField(list);
  return field ? makeWithEnabled(*field) : nullptr;
}

std::shared_ptr<WAKELOCKIsEnabledMessage> WAKELOCKIsEnabledMessage::nullableFromList(
    const Value& list) {
  return list.isList() ? fromList(list.asList()) : nullptr;
}

Value WAKELOCKIsEnabledMessage::toList() const { return Value::list({booleanValue(enabled_)}); }

// ---------------------------------------------------------------------------
// Codec

Value WAKELOCKMessagesPigeonCodecReader::readValueOfType(uint8_t type) {
  if (type != kToggleType && type != kIsEnabledType) {
    return FlutterStandardReader::readValueOfType(type);
  }
  Value payload = readValue();
  std::shared_ptr<NSObject> message;
  if (type == kToggleType) {
    message = WAKELOCKToggleMessage::nullableFromList(payload);
  } else {
    message = WAKELOCKIsEnabledMessage::nullableFromList(payload);
  }
  if (!message) {
    return PigeonMakeMalformed(
        type, "a wakelock message needs [boolean or null], got " + PigeonDescribe(payload));
  }
  return Value(message);
}

void WAKELOCKMessagesPigeonCodecWriter::writeValue(const Value& value) {
  if (auto toggle = value.objectAs<WAKELOCKToggleMessage>()) {
    writeByte(kToggleType);
    writeValue(toggle->toList());
  } else if (auto isEnabled = value.objectAs<WAKELOCKIsEnabledMessage>()) {
    writeByte(kIsEnabledType);
    writeValue(isEnabled->toList());
  } else {
    FlutterStandardWriter::writeValue(value);
  }
}

std::unique_ptr<FlutterStandardWriter> WAKELOCKMessagesPigeonCodecReaderWriter::writerWithData(
    Bytes& data) const {
  return std::make_unique<WAKELOCKMessagesPigeonCodecWriter>(data);
}

std::unique_ptr<FlutterStandardReader> WAKELOCKMessagesPigeonCodecReaderWriter::readerWithData(
    const uint8_t* data, size_t length) const {
  return std::make_unique<WAKELOCKMessagesPigeonCodecReader>(data, length);
}

std::shared_ptr<FlutterStandardMessageCodec> WAKELOCKGetMessagesCodec() {
  static const auto codec = FlutterStandardMessageCodec::codecWithReaderWriter(
      std::make_shared<WAKELOCKMessagesPigeonCodecReaderWriter>());
  return codec;
}

// ---------------------------------------------------------------------------
// Setup

namespace {

// An error the operation set becomes the reply's error list.
void throwIfSet(const FlutterErrorPtr& error) {
  if (error) throw FlutterError(*error);
}

}  // namespace

void SetUpWAKELOCKWakelockApiWithSuffix(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                                        const std::shared_ptr<WAKELOCKWakelockApi>& api,
                                        const std::string& messageChannelSuffix) {
  std::string suffix = PigeonChannelSuffix(messageChannelSuffix);
  std::string toggle = kPrefix + std::string("toggle") + suffix;
  PigeonSetUpChannel(
      toggle, messenger, WAKELOCKGetMessagesCodec(),
      !api ? FlutterMessageHandler() : PigeonSyncHandler(toggle, 1, [api](const PigeonRequest& r) {
        auto msg = r.object<WAKELOCKToggleMessage>(0, true);
        FlutterErrorPtr error;
        api->toggleMsg(msg, &error);
        throwIfSet(error);
        return Value();
      }));
  std::string isEnabled = kPrefix + std::string("isEnabled") + suffix;
  PigeonSetUpChannel(
      isEnabled, messenger, WAKELOCKGetMessagesCodec(),
      !api ? FlutterMessageHandler() : PigeonSyncHandler(isEnabled, 0, [api](const PigeonRequest&) {
        FlutterErrorPtr error;
        auto result = api->isEnabledWithError(&error);
        throwIfSet(error);
        return result ? Value(std::shared_ptr<NSObject>(result)) : Value();
      }));
}

void SetUpWAKELOCKWakelockApi(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                              const std::shared_ptr<WAKELOCKWakelockApi>& api) {
  SetUpWAKELOCKWakelockApiWithSuffix(messenger, api, "");
}

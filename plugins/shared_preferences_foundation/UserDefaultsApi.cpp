#include "plugins/shared_preferences_foundation/UserDefaultsApi.h"

namespace shared_preferences_foundation {

namespace {

constexpr uint8_t kOptionsType = 129;

const char* const kPrefix = "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.";
const char* const kLegacyPrefix =
    "dev.flutter.pigeon.shared_preferences_foundation.LegacyUserDefaultsApi.";

Value fromStrings(const StringList& strings) {
  ValueList out(strings.begin(), strings.end());
  return Value(std::move(out));
}

const SharedPreferencesPigeonOptions& options(const PigeonRequest& request, size_t index) {
  return *request.object<SharedPreferencesPigeonOptions>(index, false);
}

}  // namespace

// ---------------------------------------------------------------------------
// SharedPreferencesPigeonOptions

std::optional<SharedPreferencesPigeonOptions> SharedPreferencesPigeonOptions::fromList(
    const Value& list) {
  const Value* suite = list.at(0);
  if (!list.isList() || !suite) return std::nullopt;
  if (suite->isNull()) return SharedPreferencesPigeonOptions();
  if (!suite->isString()) return std::nullopt;
  return SharedPreferencesPigeonOptions(suite->asString());
}

Value SharedPreferencesPigeonOptions::toList() const {
  return Value::list({suiteName_ ? Value(*suiteName_) : Value()});
}

bool SharedPreferencesPigeonOptions::isEqual(const NSObject& other) const {
  auto* o = dynamic_cast<const SharedPreferencesPigeonOptions*>(&other);
  if (!o) return false;
  return PigeonDeepEquals(toList().asList()[0], o->toList().asList()[0]);
}

size_t SharedPreferencesPigeonOptions::hash() const {
  PigeonHasher hasher;
  hasher.combine(std::string("SharedPreferencesPigeonOptions"));
  PigeonDeepHash(suiteName_ ? Value(*suiteName_) : Value(), hasher);
  return hasher.finalize();
}

std::string SharedPreferencesPigeonOptions::description() const {
  std::string suite = suiteName_ ? "Optional(" + Value(*suiteName_).description() + ")" : "nil";
  return "SharedPreferencesPigeonOptions(suiteName: " + suite + ")";
}

// ---------------------------------------------------------------------------
// Codec

Value MessagesPigeonCodecReader::readValueOfType(uint8_t type) {
  if (type != kOptionsType) return FlutterStandardReader::readValueOfType(type);
  Value payload = readValue();
  auto options = SharedPreferencesPigeonOptions::fromList(payload);
  if (!options) {
    return PigeonMakeMalformed(
        type, "SharedPreferencesPigeonOptions needs [suiteName], got " + PigeonDescribe(payload));
  }
  return Value(std::make_shared<SharedPreferencesPigeonOptions>(std::move(*options)));
}

void MessagesPigeonCodecWriter::writeValue(const Value& value) {
  if (auto options = value.objectAs<SharedPreferencesPigeonOptions>()) {
    writeByte(kOptionsType);
    writeValue(options->toList());
    return;
  }
  FlutterStandardWriter::writeValue(value);
}

std::unique_ptr<FlutterStandardWriter> MessagesPigeonCodecReaderWriter::writerWithData(
    Bytes& data) const {
  return std::make_unique<MessagesPigeonCodecWriter>(data);
}

std::unique_ptr<FlutterStandardReader> MessagesPigeonCodecReaderWriter::readerWithData(
    const uint8_t* data, size_t length) const {
  return std::make_unique<MessagesPigeonCodecReader>(data, length);
}

std::shared_ptr<MessagesPigeonCodec> MessagesPigeonCodec::shared() {
  static const auto codec =
      std::make_shared<MessagesPigeonCodec>(std::make_shared<MessagesPigeonCodecReaderWriter>());
  return codec;
}

// ---------------------------------------------------------------------------
// Setup

namespace {

// Installs the handler of one operation, or removes it when there is no API.
void setUpOperation(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                    const std::string& name, bool hasApi, size_t argumentCount,
                    std::function<Value(const PigeonRequest&)> operation) {
  PigeonSetUpChannel(name, messenger, MessagesPigeonCodec::shared(),
                     hasApi ? PigeonSyncHandler(name, argumentCount, std::move(operation))
                            : FlutterMessageHandler());
}

}  // namespace

void UserDefaultsApiSetup::setUp(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                                 const std::shared_ptr<UserDefaultsApi>& api,
                                 const std::string& messageChannelSuffix) {
  std::string suffix = PigeonChannelSuffix(messageChannelSuffix);
  auto name = [&](const char* op) { return kPrefix + std::string(op) + suffix; };
  bool has = api != nullptr;
  setUpOperation(messenger, name("set"), has, 3, [api](const PigeonRequest& r) {
    const std::string& key = r.string(0);
    const Value& value = r.value(1);
    api->set(key, value, options(r, 2));
    return Value();
  });
  setUpOperation(messenger, name("clear"), has, 2, [api](const PigeonRequest& r) {
    auto allowList = r.optionalStringList(0);
    api->clear(allowList, options(r, 1));
    return Value();
  });
  setUpOperation(messenger, name("getAll"), has, 2, [api](const PigeonRequest& r) {
    auto allowList = r.optionalStringList(0);
    return Value(api->getAll(allowList, options(r, 1)));
  });
  setUpOperation(messenger, name("getValue"), has, 2, [api](const PigeonRequest& r) {
    const std::string& key = r.string(0);
    return api->getValue(key, options(r, 1));
  });
  setUpOperation(messenger, name("getKeys"), has, 2, [api](const PigeonRequest& r) {
    auto allowList = r.optionalStringList(0);
    return fromStrings(api->getKeys(allowList, options(r, 1)));
  });
}

void LegacyUserDefaultsApiSetup::setUp(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                                       const std::shared_ptr<LegacyUserDefaultsApi>& api,
                                       const std::string& messageChannelSuffix) {
  std::string suffix = PigeonChannelSuffix(messageChannelSuffix);
  auto name = [&](const char* op) { return kLegacyPrefix + std::string(op) + suffix; };
  bool has = api != nullptr;
  setUpOperation(messenger, name("remove"), has, 1, [api](const PigeonRequest& r) {
    api->remove(r.string(0));
    return Value();
  });
  setUpOperation(messenger, name("setBool"), has, 2, [api](const PigeonRequest& r) {
    const std::string& key = r.string(0);
    api->setBool(key, r.boolean(1));
    return Value();
  });
  setUpOperation(messenger, name("setDouble"), has, 2, [api](const PigeonRequest& r) {
    const std::string& key = r.string(0);
    api->setDouble(key, r.float64(1));
    return Value();
  });
  setUpOperation(messenger, name("setValue"), has, 2, [api](const PigeonRequest& r) {
    const std::string& key = r.string(0);
    api->setValue(key, r.value(1));
    return Value();
  });
  setUpOperation(messenger, name("getAll"), has, 2, [api](const PigeonRequest& r) {
    const std::string& prefix = r.string(0);
    return Value(api->getAll(prefix, r.optionalStringList(1)));
  });
  setUpOperation(messenger, name("clear"), has, 2, [api](const PigeonRequest& r) {
    const std::string& prefix = r.string(0);
    return Value(api->clear(prefix, r.optionalStringList(1)));
  });
}

}  // namespace shared_preferences_foundation

#include "plugins/url_launcher/UrlLauncherApi.h"

namespace url_launcher_ios {

namespace {

constexpr uint8_t kLaunchResultType = 129;
constexpr uint8_t kInAppLoadResultType = 130;

const char* const kPrefix = "dev.flutter.pigeon.url_launcher_ios.UrlLauncherApi.";

}  // namespace

std::optional<LaunchResult> LaunchResultFromRaw(int64_t raw) {
  if (raw < 0 || raw > static_cast<int64_t>(LaunchResult::invalidUrl)) return std::nullopt;
  return static_cast<LaunchResult>(raw);
}

std::optional<InAppLoadResult> InAppLoadResultFromRaw(int64_t raw) {
  if (raw < 0 || raw > static_cast<int64_t>(InAppLoadResult::dismissed)) return std::nullopt;
  return static_cast<InAppLoadResult>(raw);
}

Value LaunchResultValue(LaunchResult result) {
  return Value(std::make_shared<LaunchResultBox>(result));
}

Value InAppLoadResultValue(InAppLoadResult result) {
  return Value(std::make_shared<InAppLoadResultBox>(result));
}

// ---------------------------------------------------------------------------
// Codec

Value MessagesPigeonCodecReader::readValueOfType(uint8_t type) {
  if (type != kLaunchResultType && type != kInAppLoadResultType) {
    return FlutterStandardReader::readValueOfType(type);
  }
  Value raw = readValue();
  if (raw.isNull()) return Value();
  if (!raw.isInteger()) {
    return PigeonMakeMalformed(type, "an enumeration needs an integer, got " + PigeonDescribe(raw));
  }
  if (type == kLaunchResultType) {
    auto result = LaunchResultFromRaw(raw.asInt64());
    return result ? LaunchResultValue(*result) : Value();
  }
  auto result = InAppLoadResultFromRaw(raw.asInt64());
  return result ? InAppLoadResultValue(*result) : Value();
}

void MessagesPigeonCodecWriter::writeValue(const Value& value) {
  if (auto launch = value.objectAs<LaunchResultBox>()) {
    writeByte(kLaunchResultType);
    writeValue(Value::integer(static_cast<int64_t>(launch->value())));
  } else if (auto inApp = value.objectAs<InAppLoadResultBox>()) {
    writeByte(kInAppLoadResultType);
    writeValue(Value::integer(static_cast<int64_t>(inApp->value())));
  } else {
    FlutterStandardWriter::writeValue(value);
  }
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

// A completion's result becomes the reply list.
template <class E>
OnceCallback<void(PigeonResult<E>)> replyingCompletion(FlutterMessageReply reply,
                                                       Value (*wrap)(E)) {
  return [reply = std::move(reply), wrap](PigeonResult<E> result) mutable {
    reply(result.isSuccess() ? PigeonWrapResult(wrap(result.value()))
                             : PigeonWrapError(result.error()));
  };
}

void setUpChannel(const std::shared_ptr<FlutterBinaryMessenger>& messenger, const std::string& name,
                  FlutterMessageHandler handler) {
  PigeonSetUpChannel(name, messenger, MessagesPigeonCodec::shared(), std::move(handler));
}

}  // namespace

void UrlLauncherApiSetup::setUp(const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                                const std::shared_ptr<UrlLauncherApi>& api,
                                const std::string& messageChannelSuffix) {
  std::string suffix = PigeonChannelSuffix(messageChannelSuffix);
  auto name = [&](const char* op) { return kPrefix + std::string(op) + suffix; };

  std::string canLaunch = name("canLaunchUrl");
  setUpChannel(messenger, canLaunch,
               !api ? FlutterMessageHandler()
                    : PigeonSyncHandler(canLaunch, 1, [api](const PigeonRequest& r) {
                        return LaunchResultValue(api->canLaunchUrl(r.string(0)));
                      }));
  std::string launch = name("launchUrl");
  setUpChannel(messenger, launch,
               !api ? FlutterMessageHandler()
                    : PigeonAsyncHandler(
                          launch, 2, [api](const PigeonRequest& r, FlutterMessageReply reply) {
                            const std::string& url = r.string(0);
                            bool universalLinksOnly = r.boolean(1);
                            api->launchUrl(url, universalLinksOnly,
                                           replyingCompletion(std::move(reply), &LaunchResultValue));
                          }));
  std::string open = name("openUrlInSafariViewController");
  setUpChannel(
      messenger, open,
      !api ? FlutterMessageHandler()
           : PigeonAsyncHandler(open, 1, [api](const PigeonRequest& r, FlutterMessageReply reply) {
               api->openUrlInSafariViewController(
                   r.string(0), replyingCompletion(std::move(reply), &InAppLoadResultValue));
             }));
  std::string close = name("closeSafariViewController");
  setUpChannel(
      messenger, close,
      !api ? FlutterMessageHandler() : PigeonSyncHandler(close, 0, [api](const PigeonRequest&) {
        api->closeSafariViewController();
        return Value();
      }));
}

}  // namespace url_launcher_ios

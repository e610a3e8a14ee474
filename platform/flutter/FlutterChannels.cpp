#include "FlutterChannels.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/foundation/OSLog.h"
#include "platform/foundation/ThreadChecks.h"

bool FlutterError::isEqual(const NSObject& other) const {
  auto* e = dynamic_cast<const FlutterError*>(&other);
  return e && e->code_ == code_ && e->message_ == message_ && e->details_ == details_;
}

size_t FlutterError::hash() const { return std::hash<std::string>()(code_); }

std::string FlutterError::description() const {
  return "FlutterError(" + code_ + ", " + message_.value_or("(null)") + ", " +
         details_.description() + ")";
}

namespace FlutterStandardTypedData {
Value typedDataWithBytes(Bytes data) { return Value::bytes(std::move(data)); }
Value typedDataWithFloat64(std::vector<double> data) { return Value::float64List(std::move(data)); }
Value typedDataWithFloat32(std::vector<float> data) { return Value::float32List(std::move(data)); }
Value typedDataWithInt32(std::vector<int32_t> data) { return Value::int32List(std::move(data)); }
Value typedDataWithInt64(std::vector<int64_t> data) { return Value::int64List(std::move(data)); }
}  // namespace FlutterStandardTypedData

void FlutterResult::reply(FlutterReply r) {
  if (sink_.isConsumed()) {
    ReportOnceCallbackReuse("FlutterResult (a method call's reply)");
    return;
  }
  sink_(std::move(r));
}

void FlutterResult::operator()(Value value) {
  reply(FlutterReply{FlutterReply::Kind::Success, std::move(value), nullptr});
}

void FlutterResult::operator()(FlutterErrorPtr error) {
  if (!error) {
    (*this)(Value());
    return;
  }
  reply(FlutterReply{FlutterReply::Kind::Error, Value(), std::move(error)});
}

void FlutterResult::operator()(FlutterMethodNotImplementedType) {
  reply(FlutterReply{FlutterReply::Kind::NotImplemented, Value(), nullptr});
}

void FlutterEventSink::operator()(const Value& value) const {
  if (sink_) sink_(&value, nullptr);
}

void FlutterEventSink::operator()(const FlutterErrorPtr& error) const {
  if (!sink_) return;
  if (error) {
    sink_(nullptr, error);
  } else {
    Value null;
    sink_(&null, nullptr);
  }
}

void FlutterEventSink::operator()(FlutterEndOfEventStreamType) const {
  if (sink_) sink_(nullptr, nullptr);
}

// ---------------------------------------------------------------------------

FlutterChannel::FlutterChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger)
    : name_(std::move(name)), messenger_(std::move(messenger)) {}

void FlutterChannel::setBinaryHandler(FlutterBinaryMessageHandler handler) {
  messenger_->setMessageHandlerOnChannel(name_, std::move(handler));
}

FlutterBinaryMessageHandler FlutterChannel::checkedOnMain(const char* what,
                                                          FlutterBinaryMessageHandler handler) {
  return [what, handler = std::move(handler)](FlutterBinaryMessage message,
                                              FlutterBinaryReply reply) {
    QX_DCHECK_MAIN_THREAD_FOR(what);
    (void)what;
    handler(std::move(message), std::move(reply));
  };
}

void FlutterChannel::sendBinary(FlutterBinaryMessage message, FlutterBinaryReply reply) {
  messenger_->sendOnChannel(name_, std::move(message), std::move(reply));
}

// ---------------------------------------------------------------------------

FlutterMethodCodecChannel::FlutterMethodCodecChannel(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<FlutterStandardMethodCodec> codec)
    : FlutterChannel(std::move(name), std::move(messenger)),
      codec_(codec ? std::move(codec) : FlutterStandardMethodCodec::sharedInstance()) {}

std::optional<FlutterMethodCall> FlutterMethodCodecChannel::decodeCall(
    const FlutterStandardMethodCodec& codec, const std::string& channel,
    const FlutterBinaryMessage& message, FlutterBinaryReply& reply, const char* emptyWhat) {
  try {
    if (!message) throw FlutterCodecException(emptyWhat);
    return codec.decodeMethodCall(message->data(), message->size());
  } catch (const FlutterCodecException& e) {
    NSLog("Malformed method call on " + channel + ": " + e.what());
    reply(FlutterMakeMessage(
        codec.encodeErrorEnvelope("malformed_message", std::string(e.what()), Value())));
    return std::nullopt;
  }
}

// ---------------------------------------------------------------------------

FlutterMethodChannel::FlutterMethodChannel(std::string name,
                                           std::shared_ptr<FlutterBinaryMessenger> messenger,
                                           std::shared_ptr<FlutterStandardMethodCodec> codec)
    : FlutterMethodCodecChannel(std::move(name), std::move(messenger), std::move(codec)) {}

std::shared_ptr<FlutterMethodChannel> FlutterMethodChannel::methodChannelWithName(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<FlutterStandardMethodCodec> codec) {
  return std::make_shared<FlutterMethodChannel>(std::move(name), std::move(messenger),
                                                std::move(codec));
}

namespace {

// The result handed to a method handler: encodes what it answers into the
// binary reply; a value the codec cannot write becomes an error reply.
FlutterResult MethodResult(std::shared_ptr<FlutterStandardMethodCodec> codec, std::string name,
                           FlutterBinaryReply reply) {
  return FlutterResult([codec, name, reply = std::move(reply)](FlutterReply r) mutable {
    if (r.kind == FlutterReply::Kind::NotImplemented) {
      reply(nullptr);
      return;
    }
    FlutterBinaryMessage message;
    try {
      // The answer is handed over: a large payload it alone holds goes as it
      // is written, so it is not resident twice.
      message = FlutterMakeMessage(r.kind == FlutterReply::Kind::Error
                                       ? codec->encodeErrorEnvelope(*r.error)
                                       : codec->encodeSuccessEnvelope(std::move(r.value)));
    } catch (const FlutterCodecException& e) {
      NSLog("Unencodable reply on " + name + ": " + e.what());
      message = FlutterMakeMessage(
          codec->encodeErrorEnvelope("unencodable_reply", std::string(e.what()), Value()));
    }
    // Written, the answer is no longer needed: a large one is not held a
    // second time while its bytes travel on, and the bytes themselves go
    // with whoever reads them last.
    r = FlutterReply();
    reply(std::move(message));
  });
}

}  // namespace

void FlutterMethodChannel::setMethodCallHandler(FlutterMethodCallHandler handler) {
  installHandler("method channel handler", std::move(handler),
                 [codec = codec_, name = name()](FlutterMethodCallHandler handler) {
                   return [codec, name, handler](FlutterBinaryMessage message,
                                                 FlutterBinaryReply reply) {
                     auto call = decodeCall(*codec, name, message, reply, "Empty method call");
                     if (!call) return;
                     handler(*call, MethodResult(codec, name, std::move(reply)));
                   };
                 });
}

void FlutterMethodChannel::invokeMethod(const std::string& method, const Value& arguments,
                                        OnceCallback<void(std::optional<FlutterReply>)> callback) {
  auto codec = codec_;
  FlutterBinaryReply binaryReply;
  if (callback) {
    binaryReply = [codec, callback = std::move(callback)](FlutterBinaryMessage reply) mutable {
      if (!reply || reply->empty()) {
        callback(std::nullopt);
        return;
      }
      try {
        FlutterEnvelope env = codec->decodeEnvelope(reply->data(), reply->size());
        if (env.isError) {
          callback(FlutterReply{FlutterReply::Kind::Error, Value(),
                                FlutterError::errorWithCode(env.code, env.message, env.details)});
        } else {
          callback(FlutterReply{FlutterReply::Kind::Success, env.result, nullptr});
        }
      } catch (const FlutterCodecException&) {
        callback(std::nullopt);
      }
    };
  }
  sendBinary(FlutterMakeMessage(codec_->encodeMethodCall({method, arguments})),
             std::move(binaryReply));
}

// ---------------------------------------------------------------------------

FlutterEventChannel::FlutterEventChannel(std::string name,
                                         std::shared_ptr<FlutterBinaryMessenger> messenger,
                                         std::shared_ptr<FlutterStandardMethodCodec> codec)
    : FlutterMethodCodecChannel(std::move(name), std::move(messenger), std::move(codec)) {}

std::shared_ptr<FlutterEventChannel> FlutterEventChannel::eventChannelWithName(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<FlutterStandardMethodCodec> codec) {
  return std::make_shared<FlutterEventChannel>(std::move(name), std::move(messenger),
                                               std::move(codec));
}

namespace {

// One event channel's stream: the handler, and the listen whose sink may
// send. A sink handed out for one listen goes quiet once that listen is
// cancelled or replaced.
struct EventStream {
  std::shared_ptr<FlutterStandardMethodCodec> codec;
  std::string name;
  std::weak_ptr<FlutterBinaryMessenger> messenger;
  std::shared_ptr<FlutterStreamHandler> handler;
  std::shared_ptr<std::atomic<bool>> active;

  FlutterEventSink makeSink(std::shared_ptr<std::atomic<bool>> live) const {
    return FlutterEventSink([codec = codec, name = name, weakMessenger = messenger, live](
                                const Value* value, const FlutterErrorPtr& error) {
      if (!live->load()) return;
      auto messenger = weakMessenger.lock();
      if (!messenger) return;
      FlutterBinaryMessage message;  // none: the end of the stream
      try {
        if (error) {
          message = FlutterMakeMessage(codec->encodeErrorEnvelope(*error));
        } else if (value) {
          message = FlutterMakeMessage(codec->encodeSuccessEnvelope(*value));
        }
      } catch (const FlutterCodecException& e) {
        // The plugin's thread must not die of an event the codec cannot write.
        NSLog("Unencodable event on " + name + ": " + e.what());
        message = FlutterMakeMessage(
            codec->encodeErrorEnvelope("unencodable_event", std::string(e.what()), Value()));
      }
      messenger->sendOnChannel(name, std::move(message));
    });
  }

  void listen(const Value& arguments, FlutterBinaryReply& reply) {
    if (active && active->exchange(false)) {
      // A second listen replaces the first, as the engine does.
      handler->onCancelWithArguments(Value());
    }
    auto live = std::make_shared<std::atomic<bool>>(true);
    active = live;
    FlutterErrorPtr error = handler->onListenWithArguments(arguments, makeSink(live));
    if (error) live->store(false);
    reply(FlutterMakeMessage(error ? codec->encodeErrorEnvelope(*error)
                                   : codec->encodeSuccessEnvelope(Value())));
  }

  void cancel(const Value& arguments, FlutterBinaryReply& reply) {
    if (!active || !active->exchange(false)) {
      reply(FlutterMakeMessage(
          codec->encodeErrorEnvelope("error", std::string("No active stream to cancel"), Value())));
      return;
    }
    FlutterErrorPtr error = handler->onCancelWithArguments(arguments);
    reply(FlutterMakeMessage(error ? codec->encodeErrorEnvelope(*error)
                                   : codec->encodeSuccessEnvelope(Value())));
  }
};

}  // namespace

void FlutterEventChannel::setStreamHandler(std::shared_ptr<FlutterStreamHandler> handler) {
  installHandler(
      "event channel handler", std::move(handler),
      [codec = codec_, name = name(),
       messenger = std::weak_ptr<FlutterBinaryMessenger>(messenger())](
          std::shared_ptr<FlutterStreamHandler> handler) {
        auto stream = std::make_shared<EventStream>(
            EventStream{codec, name, messenger, std::move(handler), nullptr});
        return [stream](FlutterBinaryMessage message, FlutterBinaryReply reply) {
          auto call =
              decodeCall(*stream->codec, stream->name, message, reply, "Empty stream request");
          if (!call) return;
          if (call->method == "listen") {
            stream->listen(call->arguments, reply);
          } else if (call->method == "cancel") {
            stream->cancel(call->arguments, reply);
          } else {
            reply(nullptr);
          }
        };
      });
}

// ---------------------------------------------------------------------------

FlutterBasicMessageChannel::FlutterBasicMessageChannel(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<FlutterMessageCodec> codec)
    : FlutterChannel(std::move(name), std::move(messenger)),
      codec_(codec ? std::move(codec) : FlutterStandardMessageCodec::sharedInstance()) {}

std::shared_ptr<FlutterBasicMessageChannel> FlutterBasicMessageChannel::messageChannelWithName(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
    std::shared_ptr<FlutterMessageCodec> codec) {
  return std::make_shared<FlutterBasicMessageChannel>(std::move(name), std::move(messenger),
                                                      std::move(codec));
}

void FlutterBasicMessageChannel::setMessageHandler(FlutterMessageHandler handler) {
  installHandler(
      "message channel handler", std::move(handler),
      [codec = codec_, name = name()](FlutterMessageHandler handler) {
        return [codec, name, handler](FlutterBinaryMessage message, FlutterBinaryReply reply) {
          Value decoded;
          try {
            if (message) decoded = codec->decode(*message);
          } catch (const FlutterCodecException& e) {
            NSLog("Malformed message on " + name + ": " + e.what());
            reply(nullptr);
            return;
          }
          handler(decoded, [codec, name, reply = std::move(reply)](const Value& value) mutable {
            try {
              reply(FlutterMakeMessage(codec->encode(value)));
            } catch (const FlutterCodecException& e) {
              NSLog("Unencodable reply on " + name + ": " + e.what());
              reply(nullptr);
            }
          });
        };
      });
}

void FlutterBasicMessageChannel::sendMessage(const Value& message,
                                             OnceCallback<void(const Value&)> callback) {
  auto codec = codec_;
  FlutterBinaryReply binaryReply;
  if (callback) {
    binaryReply = [codec, callback = std::move(callback)](FlutterBinaryMessage reply) mutable {
      Value v;
      try {
        if (reply) v = codec->decode(*reply);
      } catch (const FlutterCodecException&) {
      }
      callback(v);
    };
  }
  sendBinary(FlutterMakeMessage(codec_->encode(message)), std::move(binaryReply));
}

#include "FlutterDartSide.h"

#include <utility>

#include "platform/foundation/Mutex.h"

struct FlutterDartSide::Shared {
  Mutex mutex;
  EventHandler handler GUARDED_BY(mutex);
};

FlutterDartSide::FlutterDartSide(std::shared_ptr<FlutterEngine> engine)
    : engine_(std::move(engine)),
      codec_(FlutterStandardMethodCodec::sharedInstance()),
      shared_(std::make_shared<Shared>()) {
  auto shared = shared_;
  auto codec = codec_;
  engine_->setDartPeer([shared, codec](const std::string& channel, FlutterBinaryMessage message,
                                       FlutterBinaryReply reply) {
    EventHandler handler;
    {
      MutexLock lock(shared->mutex);
      handler = shared->handler;
    }
    FlutterStreamEvent event;
    if (!message || message->empty()) {
      event.kind = FlutterStreamEvent::Kind::End;
    } else {
      try {
        FlutterEnvelope env = codec->decodeEnvelope(message->data(), message->size());
        if (env.isError) {
          event.kind = FlutterStreamEvent::Kind::Error;
          event.code = std::move(env.code);
          event.message = std::move(env.message);
          event.details = std::move(env.details);
        } else {
          event.value = std::move(env.result);
        }
      } catch (const FlutterCodecException&) {
        // Not an envelope: a call to the Dart side, which has no handlers.
        if (reply) reply(nullptr);
        return;
      }
    }
    // Read, the bytes go before the event is handed on.
    message.reset();
    if (handler) handler(channel, event);
    if (reply) reply(nullptr);
  });
}

FlutterDartSide::~FlutterDartSide() { engine_->setDartPeer(nullptr); }

namespace {

// The reply is handed over and dropped once read.
FlutterMethodOutcome decodeOutcome(const FlutterStandardMethodCodec& codec, bool hadHandler,
                                   FlutterBinaryMessage reply) {
  FlutterMethodOutcome out;
  if (!reply || reply->empty()) {
    out.kind = hadHandler ? FlutterMethodOutcome::Kind::NotImplemented
                          : FlutterMethodOutcome::Kind::MissingPlugin;
    return out;
  }
  try {
    FlutterEnvelope env = codec.decodeEnvelope(std::move(reply));
    if (env.isError) {
      out.kind = FlutterMethodOutcome::Kind::Error;
      out.code = std::move(env.code);
      out.message = std::move(env.message);
      out.details = std::move(env.details);
    } else {
      out.result = std::move(env.result);
    }
  } catch (const FlutterCodecException& e) {
    out.kind = FlutterMethodOutcome::Kind::Malformed;
    out.why = e.what();
  }
  return out;
}

}  // namespace

void FlutterDartSide::invokeMethod(const std::string& channel, const std::string& method,
                                   Value arguments,
                                   OnceCallback<void(const FlutterMethodOutcome&)> done) {
  bool hadHandler = engine_->hasHandler(channel);
  auto codec = codec_;
  Bytes bytes = codec_->encodeMethodCall({method, std::move(arguments)});
  engine_->handleMessageFromDart(channel, FlutterMakeMessage(std::move(bytes)),
                                 [codec, hadHandler, done = std::move(done)](
                                     FlutterBinaryMessage reply) mutable {
                                   if (!done) return;
                                   // Read, the reply's bytes go before the
                                   // outcome is handed on: a large reply is
                                   // then held once, as values.
                                   FlutterMethodOutcome outcome =
                                       decodeOutcome(*codec, hadHandler, std::move(reply));
                                   done(outcome);
                                 });
}

void FlutterDartSide::listen(const std::string& channel, Value arguments,
                             OnceCallback<void(const FlutterMethodOutcome&)> done) {
  invokeMethod(channel, "listen", std::move(arguments), std::move(done));
}

void FlutterDartSide::cancel(const std::string& channel, Value arguments,
                             OnceCallback<void(const FlutterMethodOutcome&)> done) {
  invokeMethod(channel, "cancel", std::move(arguments), std::move(done));
}

void FlutterDartSide::sendMessage(const std::string& channel, Value message,
                                  const std::shared_ptr<FlutterMessageCodec>& codec,
                                  OnceCallback<void(std::optional<Value>, std::string)> done) {
  std::shared_ptr<FlutterMessageCodec> c =
      codec ? codec : std::shared_ptr<FlutterMessageCodec>(FlutterStandardMessageCodec::sharedInstance());
  Bytes bytes;
  try {
    bytes = c->encode(std::exchange(message, Value()));
  } catch (const FlutterCodecException& e) {
    if (done) done(std::nullopt, e.what());
    return;
  }
  engine_->handleMessageFromDart(channel, FlutterMakeMessage(std::move(bytes)),
                                 [c, done = std::move(done)](FlutterBinaryMessage reply) mutable {
                                   if (!done) return;
                                   if (!reply || reply->empty()) {
                                     done(std::nullopt, "");
                                     return;
                                   }
                                   std::optional<Value> value;
                                   std::string why;
                                   try {
                                     value = c->decode(*reply);
                                   } catch (const FlutterCodecException& e) {
                                     why = e.what();
                                   }
                                   reply.reset();
                                   done(std::move(value), std::move(why));
                                 });
}

void FlutterDartSide::sendRaw(const std::string& channel, FlutterBinaryMessage message,
                              FlutterBinaryReply reply) {
  engine_->handleMessageFromDart(channel, std::move(message), std::move(reply));
}

void FlutterDartSide::setEventHandler(EventHandler handler) {
  MutexLock lock(shared_->mutex);
  shared_->handler = std::move(handler);
}


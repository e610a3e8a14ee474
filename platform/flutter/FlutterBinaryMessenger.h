#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ValueFwd.h"

// A message is a byte buffer; nullptr is the nil message (and the empty reply
// that means "no handler"). A message is answered once.
using FlutterBinaryMessage = std::shared_ptr<const Bytes>;
using FlutterBinaryReply = OnceCallback<void(FlutterBinaryMessage reply)>;
// Copyable: it handles every message sent on its channel.
using FlutterBinaryMessageHandler =
    std::function<void(FlutterBinaryMessage message, FlutterBinaryReply reply)>;

inline FlutterBinaryMessage FlutterMakeMessage(Bytes bytes) {
  return std::make_shared<const Bytes>(std::move(bytes));
}

class FlutterBinaryMessenger {
 public:
  virtual ~FlutterBinaryMessenger() = default;
  // Platform to Dart. The callback, when given, gets the Dart side's reply.
  virtual void sendOnChannel(const std::string& channel, FlutterBinaryMessage message,
                             FlutterBinaryReply callback = nullptr) = 0;
  // Installs the handler for messages from the Dart side; an empty handler
  // removes it.
  virtual void setMessageHandlerOnChannel(const std::string& channel,
                                          FlutterBinaryMessageHandler handler) = 0;
};

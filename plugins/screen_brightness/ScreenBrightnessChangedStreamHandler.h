#pragma once

// Stream handlers of the brightness event channels: they keep the listener's
// sink and send nothing until a change is reported; nothing is queued for
// later listeners.

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/NSObject.h"

class BaseStreamHandler : public NSObject, public FlutterStreamHandler {
 public:
  FlutterErrorPtr onListenWithArguments(const Value& arguments, FlutterEventSink events) override;
  FlutterErrorPtr onCancelWithArguments(const Value& arguments) override;

 protected:
  FlutterEventSink eventSink_;
};

class ScreenBrightnessChangedStreamHandler : public BaseStreamHandler {
 public:
  // Sends the brightness to the listener, when there is one.
  void addScreenBrightnessToEventSink(double brightness);
};

#include "plugins/screen_brightness/ScreenBrightnessChangedStreamHandler.h"

FlutterErrorPtr BaseStreamHandler::onListenWithArguments(const Value&, FlutterEventSink events) {
  eventSink_ = std::move(events);
  return nullptr;
}

FlutterErrorPtr BaseStreamHandler::onCancelWithArguments(const Value&) {
  eventSink_ = FlutterEventSink();
  return nullptr;
}

void ScreenBrightnessChangedStreamHandler::addScreenBrightnessToEventSink(double brightness) {
  if (eventSink_) eventSink_(Value(brightness));
}

#include "FlutterPlugin.h"

#include "platform/flutter/FlutterChannels.h"

void FlutterPlugin::handleMethodCall(const FlutterMethodCall&, FlutterResult result) {
  result(FlutterMethodNotImplemented);
}

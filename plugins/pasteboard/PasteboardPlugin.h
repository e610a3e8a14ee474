#pragma once

// Reads an image from and writes an image to the general pasteboard for the
// Dart side (channel "pasteboard"). The channel's file methods carry no
// pasteboard work on this platform and only answer.

#include "platform/flutter/FlutterPlugin.h"

class PasteboardPlugin : public NSObject, public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;

 private:
  static void readImage(FlutterResult& result);
  static void writeFiles(const Value& arguments, FlutterResult& result);
  static void writeImage(const Value& arguments, FlutterResult& result);
};

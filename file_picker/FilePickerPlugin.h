#pragma once

#include "platform/flutter/FlutterPlugin.h"

class FilePickerPlugin : public FlutterPlugin, public FlutterStreamHandler {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  FlutterErrorPtr onListenWithArguments(const Value& arguments, FlutterEventSink events) override;
  FlutterErrorPtr onCancelWithArguments(const Value& arguments) override;

 private:
  FlutterEventSink eventSink_;
};

#include "FilePickerPlugin.h"

void FilePickerPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(
      "corvinstead.flutter.plugins.filepicker", registrar->messenger());
  auto eventChannel = FlutterEventChannel::eventChannelWithName(
      "corvinstead.flutter.plugins.filepickerevent", registrar->messenger());
  auto instance = std::make_shared<FilePickerPlugin>();
  registrar->addMethodCallDelegate(instance, channel);
  eventChannel->setStreamHandler(instance);
}

FlutterErrorPtr FilePickerPlugin::onListenWithArguments(const Value&, FlutterEventSink events) {
  eventSink_ = std::move(events);
  return nullptr;
}

FlutterErrorPtr FilePickerPlugin::onCancelWithArguments(const Value&) {
  eventSink_ = FlutterEventSink();
  return nullptr;
}

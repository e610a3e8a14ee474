#include "PasteboardPlugin.h"

void PasteboardPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<PasteboardPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("pasteboard", registrar->messenger()));
}

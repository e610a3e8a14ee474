#include "TQSharePlugin.h"

void TQSharePlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<TQSharePlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("dev.tarnquell.plugins/share", registrar->messenger()));
}

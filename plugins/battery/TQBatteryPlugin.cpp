#include "TQBatteryPlugin.h"

void TQBatteryPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<TQBatteryPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("dev.tarnquell.plugins/battery", registrar->messenger()));
}

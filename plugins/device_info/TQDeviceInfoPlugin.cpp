#include "TQDeviceInfoPlugin.h"

void TQDeviceInfoPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<TQDeviceInfoPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("dev.tarnquell.plugins/device_info", registrar->messenger()));
}

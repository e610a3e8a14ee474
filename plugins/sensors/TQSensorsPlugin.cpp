#include "TQSensorsPlugin.h"

void TQSensorsPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<TQSensorsPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("dev.tarnquell.plugins/sensors/method", registrar->messenger()));
}

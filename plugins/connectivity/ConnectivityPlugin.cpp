#include "ConnectivityPlugin.h"

void ConnectivityPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<ConnectivityPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("dev.tarnquell.plugins/connectivity", registrar->messenger()));
}

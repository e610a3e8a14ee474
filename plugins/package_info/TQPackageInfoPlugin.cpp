#include "TQPackageInfoPlugin.h"

void TQPackageInfoPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<TQPackageInfoPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("dev.tarnquell.plugins/package_info", registrar->messenger()));
}

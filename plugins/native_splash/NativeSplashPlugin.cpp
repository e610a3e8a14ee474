#include "NativeSplashPlugin.h"

void NativeSplashPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<NativeSplashPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("native_splash", registrar->messenger()));
}

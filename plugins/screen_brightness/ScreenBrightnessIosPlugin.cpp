#include "ScreenBrightnessIosPlugin.h"

void ScreenBrightnessIosPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<ScreenBrightnessIosPlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("dev.tarnquell.plugins/screen_brightness", registrar->messenger()));
}

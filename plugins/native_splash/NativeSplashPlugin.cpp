#include "NativeSplashPlugin.h"

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIDevice.h"

void NativeSplashPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto channel =
      FlutterMethodChannel::methodChannelWithName("native_splash", registrar->messenger());
  registrar->addMethodCallDelegate(std::make_shared<NativeSplashPlugin>(), channel);
}

void NativeSplashPlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method == "getPlatformVersion") {
    result(Value("iOS " + UIDevice::currentDevice()->systemVersion()));
  } else {
    result(FlutterMethodNotImplemented);
  }
}

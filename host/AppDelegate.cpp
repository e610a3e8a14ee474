#include "AppDelegate.h"

#include "GeneratedPluginRegistrant.h"
#include "platform/foundation/NSClassRegistry.h"

void AppDelegate::registerClass() {
  NSClassRegistry::registerClass(kRuntimeName, [] { return std::make_shared<AppDelegate>(); });
}

bool AppDelegate::applicationDidFinishLaunchingWithOptions(UIApplication& app,
                                                           const Value& launchOptions) {
  return FlutterAppDelegate::applicationDidFinishLaunchingWithOptions(app, launchOptions);
}

void AppDelegate::didInitializeImplicitFlutterEngine(FlutterImplicitEngineBridge& bridge) {
  GeneratedPluginRegistrant::registerWithRegistry(bridge.pluginRegistry());
}

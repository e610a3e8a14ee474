#include "internal/GeneratedPluginRegistrant.h"

#include "file_picker/FilePickerPlugin.h"
#include "plugins/battery/TQBatteryPlugin.h"
#include "plugins/connectivity/ConnectivityPlugin.h"
#include "plugins/device_info/TQDeviceInfoPlugin.h"
#include "plugins/native_splash/NativeSplashPlugin.h"
#include "plugins/package_info/TQPackageInfoPlugin.h"
#include "plugins/pasteboard/PasteboardPlugin.h"
#include "plugins/python_bridge_darwin/PythonBridgePlugin.h"
#include "plugins/screen_brightness/ScreenBrightnessIosPlugin.h"
#include "plugins/sensors/TQSensorsPlugin.h"
#include "plugins/share/TQSharePlugin.h"
#include "plugins/shared_preferences_foundation/SharedPreferencesPlugin.h"
#include "plugins/url_launcher/URLLauncherPlugin.h"
#include "plugins/wakelock/WakelockPlugin.h"

// Each registrar is asked for right before its own plugin registers, so that a
// plugin's registration has finished before the next registrar exists.
void GeneratedPluginRegistrant::registerWithRegistry(
    const std::shared_ptr<FlutterPluginRegistry>& registry) {
  TQBatteryPlugin::registerWithRegistrar(registry->registrarForPlugin("TQBatteryPlugin"));
  ConnectivityPlugin::registerWithRegistrar(registry->registrarForPlugin("ConnectivityPlugin"));
  TQDeviceInfoPlugin::registerWithRegistrar(registry->registrarForPlugin("TQDeviceInfoPlugin"));
  FilePickerPlugin::registerWithRegistrar(registry->registrarForPlugin("FilePickerPlugin"));
  NativeSplashPlugin::registerWithRegistrar(registry->registrarForPlugin("NativeSplashPlugin"));
  TQPackageInfoPlugin::registerWithRegistrar(registry->registrarForPlugin("TQPackageInfoPlugin"));
  PasteboardPlugin::registerWithRegistrar(registry->registrarForPlugin("PasteboardPlugin"));
  ScreenBrightnessIosPlugin::registerWithRegistrar(
      registry->registrarForPlugin("ScreenBrightnessIosPlugin"));
  TQSensorsPlugin::registerWithRegistrar(registry->registrarForPlugin("TQSensorsPlugin"));
  PythonBridgePlugin::registerWithRegistrar(registry->registrarForPlugin("PythonBridgePlugin"));
  TQSharePlugin::registerWithRegistrar(registry->registrarForPlugin("TQSharePlugin"));
  SharedPreferencesPlugin::registerWithRegistrar(
      registry->registrarForPlugin("SharedPreferencesPlugin"));
  URLLauncherPlugin::registerWithRegistrar(registry->registrarForPlugin("URLLauncherPlugin"));
  WakelockPlugin::registerWithRegistrar(registry->registrarForPlugin("WakelockPlugin"));
}

#pragma once

// Tells the Dart side where the module's Python resources live: the resource
// path of the "python_bridge_darwin_python_bridge_darwin.bundle" folder that
// ships inside the application (channel "python_bridge", method
// "getResourcePath").

#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/NSBundle.h"

class PythonBridgePlugin : public NSObject, public FlutterPlugin {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;

  // The module's resource bundle, kept for the life of the process once
  // found; nullptr while no candidate folder holds it (looked for again at
  // the next call, which answers an error naming QX_MAIN_BUNDLE meanwhile).
  static NSBundlePtr moduleResourceBundle();
  // The look-up itself: the first candidate folder holding the bundle, or
  // nullptr.
  static NSBundlePtr locateModuleResourceBundle();
};

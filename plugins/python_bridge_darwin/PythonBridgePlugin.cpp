#include "PythonBridgePlugin.h"

#include <optional>

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/Value.h"

namespace {

const char* const kBundleName = "python_bridge_darwin_python_bridge_darwin";

// Names the bundle that holds this module's code.
class BundleFinder {};

// A bundle whose folder has gone since it was opened has no resources left
// to point at.
std::optional<std::string> resourcePathOf(const NSBundle& bundle) {
  const std::string& path = bundle.resourcePath();
  bool isDirectory = false;
  if (path.empty() || !NSFileManager::defaultManager()->fileExistsAtPath(path, &isDirectory) ||
      !isDirectory) {
    return std::nullopt;
  }
  return path;
}

}  // namespace

void PythonBridgePlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<PythonBridgePlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("python_bridge", registrar->messenger()));
}

void PythonBridgePlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method != "getResourcePath") {
    result(FlutterMethodNotImplemented);
    return;
  }
  auto bundle = moduleResourceBundle();
  if (!bundle) {
    // A setting, not the build, is the likely cause: say which one.
    auto main = NSBundle::mainBundle();
    result(FlutterError::errorWithCode(
        "PYTHON_BUNDLE_ERROR",
        std::string("unable to find bundle named python_bridge_darwin_python_bridge_darwin in ") +
            (main ? main->bundlePath() : std::string("the main bundle")) +
            ": set QX_MAIN_BUNDLE to the application folder that holds " + kBundleName + ".bundle"));
    return;
  }
  if (auto path = resourcePathOf(*bundle)) {
    result(Value(*path));
  } else {
    result(FlutterError::errorWithCode("PYTHON_BUNDLE_ERROR",
                                       "Failed to resolve Bundle.module resourcePath"));
  }
}

NSBundlePtr PythonBridgePlugin::moduleResourceBundle() {
  static Mutex mutex;
  static NSBundlePtr found GUARDED_BY(mutex);
  MutexLock lock(mutex);
  if (!found) found = locateModuleResourceBundle();
  return found;
}

NSBundlePtr PythonBridgePlugin::locateModuleResourceBundle() {
  return NSBundle::moduleResourceBundle(kBundleName, typeid(BundleFinder));
}

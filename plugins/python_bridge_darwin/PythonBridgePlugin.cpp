#include "PythonBridgePlugin.h"

void PythonBridgePlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  auto instance = std::make_shared<PythonBridgePlugin>();
  registrar->addMethodCallDelegate(
      instance, FlutterMethodChannel::methodChannelWithName("python_bridge", registrar->messenger()));
}

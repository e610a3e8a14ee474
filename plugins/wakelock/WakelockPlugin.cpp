#include "WakelockPlugin.h"

void WakelockPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  (void)registrar;
}

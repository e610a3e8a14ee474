#include "SharedPreferencesPlugin.h"

void SharedPreferencesPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  (void)registrar;
}

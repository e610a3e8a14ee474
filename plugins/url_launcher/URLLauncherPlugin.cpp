#include "URLLauncherPlugin.h"

void URLLauncherPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  (void)registrar;
}

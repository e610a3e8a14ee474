#include "WakelockPlugin.h"

#include "internal/UIApplicationIdleTimerLock.h"

void WakelockPlugin::registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar) {
  // Static initialisers of a static library may be dropped, so the category
  // loads here, before the plugin can change anything.
  UIApplicationIdleTimerLockLoad();
  SetUpWAKELOCKWakelockApi(registrar->messenger(), std::make_shared<WakelockPlugin>());
}

void WakelockPlugin::toggleMsg(const std::shared_ptr<WAKELOCKToggleMessage>& msg,
                               FlutterErrorPtr*) {
  bool wanted = msg && msg->enable().value_or(false);
  auto& app = *UIApplication::sharedApplication();
  if (wanted) {
    // The lock goes on after the change and off before it, so the plugin's
    // own change passes the guard both ways.
    setIdleTimerDisabled(true);
    lock_idleTimerlockEnable(app, true);
  } else {
    lock_idleTimerlockEnable(app, false);
    setIdleTimerDisabled(false);
  }
  enable_ = wanted;
}

std::shared_ptr<WAKELOCKIsEnabledMessage> WakelockPlugin::isEnabledWithError(FlutterErrorPtr*) {
  return WAKELOCKIsEnabledMessage::makeWithEnabled(
      UIApplication::sharedApplication()->isIdleTimerDisabled());
}

void WakelockPlugin::setIdleTimerDisabled(bool disabled) {
  auto app = UIApplication::sharedApplication();
  if (app->isIdleTimerDisabled() == disabled) return;
  app->setIdleTimerDisabled(disabled);
}

#pragma once

// Keeps the screen awake while the Dart side asks for it: "toggle" switches
// the idle timer off and locks it so that no other code switches it back on;
// "isEnabled" reports the application's idle-timer flag, whoever set it.

#include "plugins/wakelock/WAKELOCKMessages.h"
#include "platform/flutter/FlutterPlugin.h"

class WakelockPlugin : public NSObject, public WAKELOCKWakelockApi {
 public:
  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  // The state last asked for through "toggle".
  bool enable() const { return enable_; }
  void setEnable(bool enable) { enable_ = enable; }

  void toggleMsg(const std::shared_ptr<WAKELOCKToggleMessage>& msg,
                 FlutterErrorPtr* error) override;
  std::shared_ptr<WAKELOCKIsEnabledMessage> isEnabledWithError(FlutterErrorPtr* error) override;

 private:
  // Sends the change through the application's (guarded) setter, only when
  // the flag differs.
  void setIdleTimerDisabled(bool disabled);

  bool enable_ = false;
};

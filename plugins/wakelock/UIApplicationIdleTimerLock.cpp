#include "internal/UIApplicationIdleTimerLock.h"

#include <mutex>

#include "platform/foundation/Value.h"

namespace {

// The association key is the address of this process-wide static.
const char* const kIdleTimerLockKey = "idleTimerLockKey";

std::once_flag gLoadOnce;
UIApplication::IdleTimerSetter gPlatformSetter;

// What setIdleTimerDisabled runs once the category is loaded.
void guardedSetIdleTimerDisabled(UIApplication& app, bool disabled) {
  if (lock_idleTimerlockEnable(app)) return;
  lock_setIdleTimerDisabled(app, disabled);
}

}  // namespace

bool lock_idleTimerlockEnable(UIApplication& app) {
  return app.associatedObject(&kIdleTimerLockKey).asBool();
}

void lock_idleTimerlockEnable(UIApplication& app, bool enable) {
  app.setAssociatedObject(&kIdleTimerLockKey, Value(enable));
}

void lock_setIdleTimerDisabled(UIApplication& app, bool disabled) {
  UIApplicationIdleTimerLockLoad();
  gPlatformSetter(app, disabled);
}

void UIApplicationIdleTimerLockLoad() {
  std::call_once(gLoadOnce, [] {
    gPlatformSetter = UIApplication::exchangeIdleTimerSetter(&guardedSetIdleTimerDisabled);
  });
}

#pragma once

// A lock on the application's idle timer: while it is on, nobody can switch
// the idle timer back on. Loading the category exchanges the application's
// idle-timer setter for a guarded one; from then on setIdleTimerDisabled runs
// the guard, and lock_setIdleTimerDisabled runs the platform's own setter.

#include "platform/uikit/UIApplication.h"

// The lock, attached to the application object; off when never set.
bool lock_idleTimerlockEnable(UIApplication& app);
void lock_idleTimerlockEnable(UIApplication& app, bool enable);

// After the exchange: the platform's own setter, past the guard.
void lock_setIdleTimerDisabled(UIApplication& app, bool disabled);

// The exchange, once per process; later calls do nothing.
void UIApplicationIdleTimerLockLoad();

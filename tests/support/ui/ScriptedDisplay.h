#pragma once

// Puts the main screen on a device profile for a test (the test environment
// puts the notched phone back afterwards).

#include "platform/uikit/UIScreen.h"

void UseScreenProfile(const UIScreenProfile& profile);

#pragma once

// The image library's one log handle (subsystem "com.quillfern.ILRemoteImage",
// category "Default"), made once per process on first use.

#include "platform/foundation/OSLog.h"

const OSLogRef& ILDefaultLog();

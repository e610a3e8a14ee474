#pragma once

// Temporary items that carry the process that makes them in their name,
// "<pid>-<start time>-<UUID>" (the start time in clock ticks since boot, so
// a later process that gets the same pid never shares the tag). A process
// that starts can then tell what one that died left, half written, from
// what a running one is still writing, and remove only the former. Several
// processes may share one application container.

#include <optional>
#include <string>

#include "NSError.h"

// A new tag of this process.
std::string ProcessTemporaryTag();
// Whether `tag` (a name that starts with "<pid>-<start time>-") names a
// process that is gone; false for a name that holds no such tag.
bool ProcessTemporaryTagHasEnded(const std::string& tag);

// A new, empty folder "<prefix>-<tag>" directly in the temporary directory,
// made with one mkdir; nullopt, with `error`, when it cannot be made.
std::optional<std::string> MakeProcessTemporaryFolder(const std::string& prefix,
                                                      NSErrorPtr* error = nullptr);
// Removes the folders of MakeProcessTemporaryFolder() whose process is gone,
// with what is in them; anything else stays. False when one of them cannot
// be removed (the rest are still tried).
bool RemoveTemporaryFoldersOfEndedProcesses();

#pragma once

// Unified-logging stand-in: a handle per subsystem and category, and one
// process-wide sink that tests can replace to read what was logged.

#include <functional>
#include <memory>
#include <string>

enum class OSLogType { Debug, Info, Default, Error, Fault };

struct OSLog {
  std::string subsystem;
  std::string category;
};

using OSLogRef = std::shared_ptr<const OSLog>;
using OSLogSink = std::function<void(const OSLog&, OSLogType, const std::string&)>;

OSLogRef os_log_create(const std::string& subsystem, const std::string& category);
// The sink receives every message; an empty sink restores the default (stderr).
void OSLogSetSink(OSLogSink sink);
void os_log_with_type(const OSLogRef& log, OSLogType type, const std::string& message);
inline void os_log(const OSLogRef& log, const std::string& message) {
  os_log_with_type(log, OSLogType::Default, message);
}
// Plain process log, for the stand-ins themselves.
void NSLog(const std::string& message);

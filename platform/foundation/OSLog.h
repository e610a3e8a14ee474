#pragma once

// Unified-logging stand-in: a handle per subsystem and category, and one
// process-wide sink that every message goes to (standard error by default).

#include <memory>
#include <string>

enum class OSLogType { Debug, Info, Default, Error, Fault };

struct OSLog {
  std::string subsystem;
  std::string category;
};

using OSLogRef = std::shared_ptr<const OSLog>;
class OSLogSink {
 public:
  virtual ~OSLogSink() = default;
  // Called on the logging thread, one message at a time.
  virtual void write(const OSLog& log, OSLogType type, const std::string& message) = 0;
};

// "[subsystem:category] type: message" lines on standard error.
class OSLogStandardErrorSink : public OSLogSink {
 public:
  void write(const OSLog& log, OSLogType type, const std::string& message) override;
};

OSLogRef os_log_create(const std::string& subsystem, const std::string& category);
// The sink receives every message; nullptr restores standard error.
void OSLogSetSink(std::shared_ptr<OSLogSink> sink);
void os_log_with_type(const OSLogRef& log, OSLogType type, const std::string& message);
inline void os_log(const OSLogRef& log, const std::string& message) {
  os_log_with_type(log, OSLogType::Default, message);
}
// Plain process log, for the stand-ins themselves.
void NSLog(const std::string& message);

#include "OSLog.h"

#include <cstdio>

#include "SingletonResets.h"
#include "platform/foundation/Mutex.h"

namespace {

// Held while a message is written, so messages never interleave.
Mutex& sinkMutex() {
  static Mutex m;  // guards sink() and each write
  return m;
}

std::shared_ptr<OSLogSink>& sink() REQUIRES(sinkMutex()) {
  static auto* s = [] {
    auto* made = new std::shared_ptr<OSLogSink>(std::make_shared<OSLogStandardErrorSink>());
    SingletonResets::add([] { OSLogSetSink(nullptr); });
    return made;
  }();
  return *s;
}

const char* typeName(OSLogType t) {
  switch (t) {
    case OSLogType::Debug:
      return "debug";
    case OSLogType::Info:
      return "info";
    case OSLogType::Default:
      return "default";
    case OSLogType::Error:
      return "error";
    case OSLogType::Fault:
      return "fault";
  }
  return "";
}

}  // namespace

OSLogRef os_log_create(const std::string& subsystem, const std::string& category) {
  return std::make_shared<const OSLog>(OSLog{subsystem, category});
}

void OSLogSetSink(std::shared_ptr<OSLogSink> s) {
  if (!s) s = std::make_shared<OSLogStandardErrorSink>();
  MutexLock lock(sinkMutex());
  sink() = std::move(s);
}

void OSLogStandardErrorSink::write(const OSLog& log, OSLogType type, const std::string& message) {
  std::fprintf(stderr, "[%s:%s] %s: %s\n", log.subsystem.c_str(), log.category.c_str(),
               typeName(type), message.c_str());
}

void os_log_with_type(const OSLogRef& log, OSLogType type, const std::string& message) {
  static const OSLog kDefault{"", ""};
  const OSLog& l = log ? *log : kDefault;
  MutexLock lock(sinkMutex());
  sink()->write(l, type, message);
}

void NSLog(const std::string& message) {
  static const OSLogRef kProcessLog = os_log_create("", "");
  os_log_with_type(kProcessLog, OSLogType::Default, message);
}

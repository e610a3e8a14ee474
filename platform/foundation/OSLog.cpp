#include "OSLog.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

OSLogSink& sink() {
  static OSLogSink s;
  return s;
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

void OSLogSetSink(OSLogSink s) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  sink() = std::move(s);
}

void os_log_with_type(const OSLogRef& log, OSLogType type, const std::string& message) {
  static const OSLog kDefault{"", ""};
  const OSLog& l = log ? *log : kDefault;
  std::lock_guard<std::mutex> lock(sinkMutex());
  if (sink()) {
    sink()(l, type, message);
    return;
  }
  std::fprintf(stderr, "[%s:%s] %s: %s\n", l.subsystem.c_str(), l.category.c_str(),
               typeName(type), message.c_str());
}

void NSLog(const std::string& message) {
  static const OSLogRef kProcessLog = os_log_create("", "");
  os_log_with_type(kProcessLog, OSLogType::Default, message);
}

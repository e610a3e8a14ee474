#include "support/RecordedLog.h"

std::shared_ptr<RecordedLog> RecordedLog::install() {
  auto log = std::make_shared<RecordedLog>();
  OSLogSetSink(log);
  return log;
}

void RecordedLog::write(const OSLog& log, OSLogType type, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back({log.subsystem, log.category, type, message});
}

std::vector<RecordedLog::Entry> RecordedLog::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<std::string> RecordedLog::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& e : entries_) out.push_back(e.message);
  return out;
}

#pragma once

// A log sink that keeps what was logged, for tests that check a message. The
// test environment's reset puts the standard-error sink back.
//
//   auto log = RecordedLog::install();
//   ...
//   EXPECT_THAT(log->messages(), Contains(HasSubstr("ignored")));

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/OSLog.h"

class RecordedLog : public OSLogSink {
 public:
  struct Entry {
    std::string subsystem;
    std::string category;
    OSLogType type;
    std::string message;
  };

  // Makes one and installs it as the process's sink.
  static std::shared_ptr<RecordedLog> install();

  void write(const OSLog& log, OSLogType type, const std::string& message) override;
  std::vector<Entry> entries() const;
  std::vector<std::string> messages() const;

 private:
  mutable std::mutex mutex_;  // guards entries_
  std::vector<Entry> entries_;
};

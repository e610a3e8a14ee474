#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/OSLog.h"
#include "support/RecordedLog.h"
#include "support/TestEnvironment.h"

namespace os_log_test {

using OSLogTest = PlatformTest;

TEST_F(OSLogTest, TheSinkReceivesEveryMessageWithItsHandleAndType) {
  auto recorded = RecordedLog::install();
  auto log = os_log_create("dev.test.subsystem", "cache");
  os_log(log, "plain");
  os_log_with_type(log, OSLogType::Error, "broken");
  os_log_with_type(nullptr, OSLogType::Debug, "no handle");
  NSLog("process line");
  OSLogSetSink(nullptr);
  os_log(log, "after the sink is gone");  // goes to stderr, not to the record

  auto entries = recorded->entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].subsystem, "dev.test.subsystem");
  EXPECT_EQ(entries[0].category, "cache");
  EXPECT_EQ(entries[0].message, "plain");
  EXPECT_EQ(entries[0].type, OSLogType::Default);
  EXPECT_EQ(entries[1].type, OSLogType::Error);
  EXPECT_EQ(entries[2].subsystem, "");
  EXPECT_EQ(entries[2].type, OSLogType::Debug);
  EXPECT_EQ(entries[3].message, "process line");
}

}  // namespace os_log_test

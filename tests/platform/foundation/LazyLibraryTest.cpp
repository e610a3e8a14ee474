// A library loaded on first use: one load however many threads ask first,
// the table handed out only when the load succeeds, and a failure kept with
// its reason rather than tried again.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/SharedLibraries.h"
#include "support/TestEnvironment.h"

namespace lazy_library_test {

namespace {

using LazyLibraryTest = PlatformTest;

struct Table {
  int (*answer)() = nullptr;
  int value = 0;
};

int FortyTwo() { return 42; }

TEST_F(LazyLibraryTest, ConcurrentFirstUsesLoadOnce) {
  std::atomic<int> loads{0};
  auto release = dispatch_semaphore_create(0);
  LazyLibrary<Table> library([&](Table& table, std::string&) {
    ++loads;
    // Held until every caller is on its way, so that they meet the load.
    EXPECT_EQ(dispatch_semaphore_wait(release, dispatch_time_after(kTestTimeoutSeconds)), 0);
    table.answer = FortyTwo;
    table.value = 7;
    return true;
  });
  EXPECT_EQ(library.loaded(), nullptr);
  constexpr int kCallers = 8;
  std::vector<const Table*> seen(kCallers, nullptr);
  auto group = dispatch_group_create();
  auto queue = dispatch_queue_create("test.lazy", DispatchQueueAttr::Concurrent);
  for (int i = 0; i < kCallers; ++i) {
    dispatch_group_async(group, queue, [&, i] {
      const Table* table = library.load();
      // Read on the caller's thread: the publication must carry the writes.
      if (table && table->answer && table->answer() == 42 && table->value == 7) {
        seen[size_t(i)] = table;
      }
    });
  }
  dispatch_semaphore_signal(release);
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(kTestTimeoutSeconds)), 0);
  EXPECT_EQ(loads, 1);
  ASSERT_NE(library.loaded(), nullptr);
  for (const Table* table : seen) EXPECT_EQ(table, library.loaded());
  std::string why = "untouched";
  EXPECT_EQ(library.load(&why), library.loaded());
  EXPECT_EQ(why, "untouched");
  EXPECT_EQ(loads, 1);
}

TEST_F(LazyLibraryTest, AFailureIsKeptWithItsReasonAndPublishesNothing) {
  int loads = 0;
  LazyLibrary<Table> library([&](Table& table, std::string& why) {
    ++loads;
    // Half filled before the failure: none of it may be handed out.
    table.answer = FortyTwo;
    why = "libqx-absent.so.1 has no qx_answer";
    return false;
  });
  for (int call = 0; call < 3; ++call) {
    SCOPED_TRACE(call);
    std::string why;
    EXPECT_EQ(library.load(&why), nullptr);
    EXPECT_EQ(why, "libqx-absent.so.1 has no qx_answer");
    EXPECT_EQ(library.load(), nullptr);  // no reason asked for
    EXPECT_EQ(library.loaded(), nullptr);
  }
  EXPECT_EQ(loads, 1);
}

}  // namespace

}  // namespace lazy_library_test

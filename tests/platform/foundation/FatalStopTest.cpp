#include <gtest/gtest.h>

#include <csignal>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSOperation.h"
#include "support/TestEnvironment.h"

namespace fatal_stop_test {

namespace {

void requireName(const char* name) { NSParameterAssert(name); }

}  // namespace

class FatalStopDeathTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

TEST_F(FatalStopDeathTest, StopsWithTheExactMessage) {
  EXPECT_DEATH(FatalStop("This method must be overridden."),
               "^This method must be overridden\\.\n");
  EXPECT_DEATH(requireName(nullptr), "^Invalid parameter not satisfying: name\n");
  requireName("present");  // a satisfied check does nothing
}

TEST_F(FatalStopDeathTest, MisuseOfQueuesStops) {
  EXPECT_DEATH(dispatch_group_leave(dispatch_group_create()),
               "Unbalanced call to dispatch_group_leave\\(\\)");
  EXPECT_DEATH(
      {
        auto queue = dispatch_queue_create("test.reentrant");
        dispatch_sync(queue, [&] { dispatch_sync(queue, [] {}); });
      },
      "dispatch_sync called on queue already owned by current thread");
  EXPECT_DEATH(
      {
        auto queue = std::make_shared<NSOperationQueue>();
        queue->setSuspended(true);
        auto op = std::make_shared<NSBlockOperation>();
        queue->addOperation(op);
        queue->addOperation(op);
      },
      "operation is already enqueued on a queue");
  EXPECT_DEATH(
      {
        auto op = std::make_shared<NSBlockOperation>();
        op->start();
        std::make_shared<NSOperationQueue>()->addOperation(op);
      },
      "operation is finished and cannot be enqueued");
}

// A stop says which test it ended and where it came from: the crash trace of
// the test main (tests/support/CrashTrace.h), then death by the same signal.
TEST_F(FatalStopDeathTest, AStopNamesItsTestThreadAndStack) {
  EXPECT_DEATH(FatalStop("Stopped here."),
               "^Stopped here\\.\n\n"
               "\\*\\*\\* Fatal signal 6 \\(SIGABRT\\) in test "
               "FatalStopDeathTest\\.AStopNamesItsTestThreadAndStack \\(a death test's child\\), "
               "thread [0-9]+ \\(the main thread\\) \\*\\*\\*\n"
               ".*abort.*\n\\*\\*\\* end of the stack \\*\\*\\*\n");
  EXPECT_DEATH(
      {
        dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0),
                       [] { FatalStop("Stopped on a worker."); });
        dispatch_semaphore_wait(dispatch_semaphore_create(0), DISPATCH_TIME_FOREVER);
      },
      "^Stopped on a worker\\.\n\n\\*\\*\\* Fatal signal 6 \\(SIGABRT\\) in test "
      "FatalStopDeathTest\\.AStopNamesItsTestThreadAndStack \\(a death test's child\\), "
      "thread [0-9]+ \\(not the main thread\\)");
  EXPECT_EXIT(FatalStop("Still an abort."), ::testing::KilledBySignal(SIGABRT), "Still an abort");
}

}  // namespace fatal_stop_test

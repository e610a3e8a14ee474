#include <gtest/gtest.h>

#include <memory>

#include "image_loading/manager/internal/ILAsyncBlockOperation.h"
#include "platform/foundation/Dispatch.h"
#include "support/TestEnvironment.h"

namespace async_block_operation_test {

namespace {

class AsyncBlockOperationTest : public PlatformTest {};

TEST_F(AsyncBlockOperationTest, EndsWhenItsUserSaysSo) {
  auto ran = dispatch_semaphore_create(0);
  std::shared_ptr<ILAsyncBlockOperation> seen;
  auto operation = ILAsyncBlockOperation::blockOperationWithBlock(
      [&, ran](const ILAsyncBlockOperationPtr& self) {
        seen = self;
        dispatch_semaphore_signal(ran);
      });
  EXPECT_TRUE(operation->isAsynchronous());
  // Not started: nothing to complete.
  operation->complete();
  EXPECT_FALSE(operation->isFinished());
  operation->start();
  ASSERT_EQ(dispatch_semaphore_wait(ran, dispatch_time_after(kTestTimeoutSeconds)), 0);
  EXPECT_EQ(seen, operation);
  seen.reset();
  EXPECT_TRUE(operation->isExecuting());
  EXPECT_FALSE(operation->isFinished());
  operation->complete();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_FALSE(operation->isExecuting());
}

TEST_F(AsyncBlockOperationTest, CancelFinishesARunningOneAtOnce) {
  auto running = ILAsyncBlockOperation::blockOperationWithBlock(nullptr);
  running->start();
  EXPECT_TRUE(running->isExecuting());
  running->cancel();
  EXPECT_TRUE(running->isFinished());
  EXPECT_FALSE(running->isExecuting());

  // Cancelled before start: start only finishes it, the block never runs.
  bool ran = false;
  auto cancelled =
      ILAsyncBlockOperation::blockOperationWithBlock([&](const ILAsyncBlockOperationPtr&) { ran = true; });
  cancelled->cancel();
  EXPECT_FALSE(cancelled->isFinished());
  cancelled->start();
  EXPECT_TRUE(cancelled->isFinished());
  EXPECT_FALSE(ran);
}

}  // namespace

}  // namespace async_block_operation_test

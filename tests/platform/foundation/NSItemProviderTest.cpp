#include <gtest/gtest.h>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSItemProvider.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace ns_item_provider_test {

namespace {

// Runs a load and waits (bounded) for its background handler.
template <class T>
std::pair<std::shared_ptr<T>, NSErrorPtr> await(
    const std::function<void(std::function<void(std::shared_ptr<T>, NSErrorPtr)>)>& load) {
  auto done = dispatch_semaphore_create(0);
  auto out = std::make_shared<std::pair<std::shared_ptr<T>, NSErrorPtr>>();
  load([done, out](std::shared_ptr<T> value, NSErrorPtr error) {
    *out = {std::move(value), std::move(error)};
    dispatch_semaphore_signal(done);
  });
  EXPECT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(5)), 0);
  return *out;
}

using NSItemProviderTest = PlatformTest;

TEST_F(NSItemProviderTest, LoadsAFileByItsTypeOnly) {
  TempFolder temp;
  std::string path = temp.writeFile("note.txt", "hello");
  NSItemProvider provider(NSURL::fileURLWithPath(path), "public.plain-text");
  EXPECT_FALSE(provider.canLoadObject());
  EXPECT_TRUE(provider.hasItemConformingToTypeIdentifier("public.plain-text"));

  auto data = await<NSData>([&](auto handler) {
    provider.loadDataRepresentationForTypeIdentifier("public.plain-text", handler);
  });
  ASSERT_NE(data.first, nullptr);
  EXPECT_EQ(data.first->vector(), Bytes({'h', 'e', 'l', 'l', 'o'}));

  auto readDuringHandler = std::make_shared<Bytes>();
  auto file = await<NSURL>([&](auto handler) {
    provider.loadFileRepresentationForTypeIdentifier(
        "public.plain-text", [handler, readDuringHandler](NSURLPtr url, NSErrorPtr error) {
          if (url) {
            auto data = NSData::dataWithContentsOfFile(url->path());
            if (data) *readDuringHandler = data->vector();
          }
          handler(url, error);
        });
  });
  ASSERT_NE(file.first, nullptr);
  // A temporary copy, gone once the handler has returned; the original stays.
  EXPECT_NE(file.first->path(), path);
  EXPECT_EQ(file.first->lastPathComponent(), "note.txt");
  EXPECT_EQ(*readDuringHandler, Bytes({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_TRUE(RunMainLoopUntil(
      [&] { return !NSFileManager::defaultManager()->fileExistsAtPath(file.first->path()); }));
  EXPECT_TRUE(NSFileManager::defaultManager()->fileExistsAtPath(path));

  auto wrong = await<NSData>([&](auto handler) {
    provider.loadDataRepresentationForTypeIdentifier("public.png", handler);
  });
  EXPECT_EQ(wrong.first, nullptr);
  ASSERT_NE(wrong.second, nullptr);
  EXPECT_EQ(wrong.second->domain(), NSItemProviderErrorDomain);
  EXPECT_EQ(wrong.second->code(), NSItemProviderItemUnavailableError);
}

TEST_F(NSItemProviderTest, HandsOutItsObject) {
  auto object = std::make_shared<NSData>(Bytes{1, 2});
  NSItemProvider provider(object);
  EXPECT_TRUE(provider.registeredTypeIdentifiers().empty());
  auto loaded = await<NSObject>([&](auto handler) { provider.loadObject(handler); });
  EXPECT_EQ(loaded.first, object);
  EXPECT_EQ(loaded.second, nullptr);

  NSItemProvider none(NSURL::fileURLWithPath("/nonexistent"), "public.data");
  auto missing = await<NSObject>([&](auto handler) { none.loadObject(handler); });
  EXPECT_EQ(missing.first, nullptr);
  EXPECT_NE(missing.second, nullptr);
}

}  // namespace

}  // namespace ns_item_provider_test

#include <gtest/gtest.h>

#include <atomic>

#include "platform/foundation/Dispatch.h"
#include "platform/uikit/UIPasteboard.h"
#include "support/TestEnvironment.h"

namespace ui_pasteboard_test {

namespace {

UIImagePtr solidImage(size_t width, size_t height) {
  auto pixels = std::make_shared<Bytes>(width * height * 4, 200);
  return UIImage::imageWithCGImage(
      CGImage::create(width, height, 8, 32, width * 4,
                      kCGImageAlphaPremultipliedLast | kCGBitmapByteOrder32Big, pixels));
}

using UIPasteboardTest = PlatformTest;

TEST_F(UIPasteboardTest, ConvenienceAccessorsReplaceTheContents) {
  UIPasteboard board("test");
  EXPECT_EQ(board.changeCount(), 0);
  EXPECT_FALSE(board.hasStrings() || board.hasURLs() || board.hasImages());
  EXPECT_EQ(board.string(), std::nullopt);

  board.setStrings({"a", "b"});
  EXPECT_EQ(board.numberOfItems(), 2);
  EXPECT_EQ(board.string(), "a");
  EXPECT_EQ(board.strings(), (std::vector<std::string>{"a", "b"}));

  auto url = NSURL::URLWithString("https://example.com/x");
  board.setURL(url);
  EXPECT_FALSE(board.hasStrings());
  ASSERT_NE(board.URL(), nullptr);
  EXPECT_TRUE(board.URL()->isEqual(*url));
  EXPECT_EQ(board.URLs().size(), 1u);

  board.setImages({solidImage(3, 2), solidImage(5, 4)});
  EXPECT_FALSE(board.hasURLs());
  ASSERT_EQ(board.images().size(), 2u);
  EXPECT_EQ(board.image()->size(), CGSizeMake(3, 2));
  EXPECT_EQ(board.images()[1]->size(), CGSizeMake(5, 4));

  board.setImage(nullptr);
  EXPECT_EQ(board.numberOfItems(), 0);
  EXPECT_EQ(board.changeCount(), 4);
}

TEST_F(UIPasteboardTest, ItemsMixRepresentationsAndDecodeImageBytes) {
  UIPasteboard board("test");
  auto png = UIImagePNGRepresentation(solidImage(6, 7));
  ASSERT_NE(png, nullptr);
  board.setItems({
      {{Value("public.utf8-plain-text"), Value("caption")},
       {Value("public.png"), Value::bytes(png->vector())}},
      {{Value("public.jpeg"), Value::bytes({1, 2, 3})}},  // claims to be an image, is not
      {{Value("com.example.custom"), Value::bytes({9})}},
  });
  EXPECT_EQ(board.numberOfItems(), 3);
  EXPECT_EQ(board.strings(), (std::vector<std::string>{"caption"}));
  EXPECT_TRUE(board.hasImages());
  ASSERT_EQ(board.images().size(), 1u);
  EXPECT_EQ(board.image()->size(), CGSizeMake(6, 7));
  EXPECT_EQ(board.items()[2].front().second, Value::bytes({9}));
}

TEST_F(UIPasteboardTest, CountsEveryChangeFromManyThreads) {
  UIPasteboard board("test");
  auto group = dispatch_group_create();
  auto queue = dispatch_get_global_queue(DispatchQoS::Default);
  for (int i = 0; i < 40; ++i) {
    dispatch_group_async(group, queue, [&board, i] {
      board.setString("value " + std::to_string(i));
      (void)board.strings();
    });
  }
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(10)), 0);
  EXPECT_EQ(board.changeCount(), 40);
  EXPECT_EQ(board.numberOfItems(), 1);
  EXPECT_EQ(board.string()->rfind("value ", 0), 0u);
}

}  // namespace

}  // namespace ui_pasteboard_test

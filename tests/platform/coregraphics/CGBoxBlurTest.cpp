#include <gtest/gtest.h>

#include <vector>

#include "platform/coregraphics/CGBoxBlur.h"
#include "support/TestEnvironment.h"

namespace cg_box_blur_test {

namespace {

using CGBoxBlurTest = PlatformTest;

TEST_F(CGBoxBlurTest, EdgesCountAsTransparentOrRepeatTheEdgePixel) {
  // A 3 x 1 row of one-byte pixels, rows padded to 4 bytes: one pass of
  // radius 1 along the row, then down each one-pixel column.
  std::vector<uint8_t> transparent = {255, 0, 0, 99}, extended = transparent;
  CGBoxBlur(transparent.data(), 3, 1, 4, 1, {1}, CGBlurEdge::Transparent);
  // Along the row: 255/3, 255/3, 0; down the columns, a third again.
  EXPECT_EQ(transparent, (std::vector<uint8_t>{28, 28, 0, 99}));
  CGBoxBlur(extended.data(), 3, 1, 4, 1, {1}, CGBlurEdge::Extend);
  // The first pixel repeated: 2 × 255 / 3; a column of one pixel stays.
  EXPECT_EQ(extended, (std::vector<uint8_t>{170, 85, 0, 99}));

  // No pass, whatever the radii say.
  CGBoxBlur(extended.data(), 3, 1, 4, 1, {0, -2}, CGBlurEdge::Extend);
  EXPECT_EQ(extended, (std::vector<uint8_t>{170, 85, 0, 99}));
}

TEST_F(CGBoxBlurTest, ChannelsBlurApartAndPassesRepeat) {
  // A white pixel in the middle of 3 x 3 clear four-byte pixels spreads to
  // all nine, a ninth each, rounded after each direction.
  std::vector<uint8_t> pixels(36, 0);
  for (int c = 0; c < 4; ++c) pixels[4 * 4 + size_t(c)] = uint8_t(c == 1 ? 90 : 255);
  std::vector<uint8_t> twoPasses = pixels;
  CGBoxBlur(pixels.data(), 3, 3, 12, 4, {1}, CGBlurEdge::Transparent);
  for (size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(pixels[i * 4], 28) << i;      // (255 / 3) / 3
    EXPECT_EQ(pixels[i * 4 + 1], 10) << i;  // (90 / 3) / 3
  }
  // A second pass: the clear outside pulls the corners down, the middle
  // keeps its eight neighbours' level. Two radii are those two passes.
  CGBoxBlur(pixels.data(), 3, 3, 12, 4, {1}, CGBlurEdge::Transparent);
  EXPECT_EQ(pixels[0], 13);  // ((28 * 2) / 3 * 2) / 3, rounded each time
  EXPECT_EQ(pixels[4 * 4], 28);
  CGBoxBlur(twoPasses.data(), 3, 3, 12, 4, {1, 1}, CGBlurEdge::Transparent);
  EXPECT_EQ(twoPasses, pixels);
}

}  // namespace

}  // namespace cg_box_blur_test

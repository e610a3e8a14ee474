#pragma once

// Pictures of views for tests: render a view as it shows now, keep the PNG
// in the folder named by QX_SNAPSHOT_DIR (when set) so a person can look at
// it, and compare it with a golden PNG under the test data folder.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIView.h"

// Premultiplied RGBA of the bitmap, top row first, 4 bytes a pixel.
std::vector<uint8_t> RGBAPixels(const CGImageRef& image);

// The view's bounds at `scale` pixels per point, laid out first.
UIImagePtr RenderView(UIView& view, double scale);

// Writes `<QX_SNAPSHOT_DIR>/<name>.png`; does nothing when the variable is
// unset. Returns the path written, or "".
std::string SaveSnapshot(const UIImagePtr& image, const std::string& name);

// Pixels of one size whose components differ by at most `tolerance` (0-255),
// allowing `maxOffPixels` pixels beyond it. The golden file is read from the
// test data folder (QX_TEST_DATA), e.g. "uikit/screen.png".
::testing::AssertionResult MatchesGolden(const UIImagePtr& image, const std::string& goldenPath,
                                         int tolerance, size_t maxOffPixels);

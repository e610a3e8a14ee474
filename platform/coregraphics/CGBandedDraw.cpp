#include "platform/coregraphics/CGBandedDraw.h"

#include <cstdint>

namespace {

constexpr double kDestinationSeamOverlap = 2;

}  // namespace

void CGContextDrawImageInBands(const CGContextRef& context, const CGImageRef& image,
                               size_t destWidth, size_t destHeight, double scale, double bandRows) {
  if (!context || !image || destHeight == 0 || bandRows < 1) return;
  const double width = static_cast<double>(image->width());
  const double height = static_cast<double>(image->height());
  const auto wholeBandRows = static_cast<int64_t>(bandRows);
  const bool ragged = static_cast<int64_t>(height) % wholeBandRows != 0;
  const auto bands = static_cast<int64_t>(height / bandRows) + (ragged ? 1 : 0);
  const double sourceSeamOverlap =
      height * kDestinationSeamOverlap / static_cast<double>(destHeight);

  for (int64_t y = 0; y < bands; ++y) {
    // Each band starts at its own first row and reaches the overlap further
    // down. Starting a whole overlap lower drops the image's top rows and
    // leaves the last destination rows empty.
    const CGRect sourceBand{{0, bandRows * static_cast<double>(y)},
                            {width, bandRows + sourceSeamOverlap}};
    CGImageRef band = CGImageCreateWithImageInRect(image, sourceBand);
    if (!band) continue;
    double destBandHeight = scale * bandRows + kDestinationSeamOverlap;
    double destY = static_cast<double>(destHeight) -
                   (scale * bandRows * static_cast<double>(y + 1) + kDestinationSeamOverlap);
    if (y == bands - 1 && ragged) {
      const double realHeight = static_cast<double>(band->height());
      destY += destBandHeight - scale * realHeight;
      destBandHeight = scale * realHeight;
    }
    CGContextDrawImage(context, {{0, destY}, {static_cast<double>(destWidth), destBandHeight}},
                       band);
  }
}

#pragma once

// Frame records: an image with the time it is shown (animated images are
// assembled from and taken apart into lists of them), and one entry of an
// animated coder's frame table. Stored as given, without checks.

#include <cstdint>
#include <memory>

class UIImage;

struct ILImageFrame {
  std::shared_ptr<UIImage> image;
  double duration = 0;  // seconds

  static ILImageFrame frameWithImage(std::shared_ptr<UIImage> image, double duration) {
    return ILImageFrame{std::move(image), duration};
  }
};

struct ILImageIOCoderFrame {
  uint64_t index = 0;    // frame index in the image source
  double duration = 0;   // seconds, after the coder's duration rule
};

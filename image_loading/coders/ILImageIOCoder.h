#pragma once

// The catch-all coder: decodes the first image of anything the image I/O
// stand-in reads (and the first page of PDF data), decodes progressively,
// and encodes one image into any format it writes. Its shared instance is
// safe for concurrent one-shot use; a progressive instance belongs to one
// load and is driven from one queue.

#include "image_loading/coders/ILImageCoder.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSObject.h"
#include "platform/imageio/CGImageSource.h"

class ILImageIOCoder : public NSObject, public ILProgressiveImageCoder {
 public:
  ~ILImageIOCoder() override;
  static std::shared_ptr<ILImageIOCoder> sharedCoder();

  bool canDecodeFromData(const NSDataPtr&) const override { return true; }
  UIImagePtr decodedImageWithData(const NSDataPtr& data, const Value& options) const override;
  bool canEncodeToFormat(ILImageFormatCode) const override { return true; }
  // Format -1 writes PNG for a bitmap with alpha, else JPEG.
  NSDataPtr encodedDataWithImage(const UIImagePtr& image, ILImageFormatCode format,
                                 const Value& options) const override;

  bool canIncrementalDecodeFromData(const NSDataPtr& data) const override {
    return canDecodeFromData(data);
  }
  std::shared_ptr<ILProgressiveImageCoder> initIncrementalWithOptions(
      const Value& options) const override;
  void updateIncrementalData(const NSDataPtr& data, bool finished) override;
  UIImagePtr incrementalDecodedImageWithOptions(const Value& options) override;

  // A page (counting from 0) drawn at its media box size, or at `targetSize`
  // points when that is not zero; nullptr for unreadable data or a missing
  // page. Null data is a programming error.
  static UIImagePtr createBitmapPDFWithData(const NSDataPtr& data, size_t pageNumber,
                                            CGSize targetSize, bool preserveAspectRatio);

  void didReceiveMemoryWarning();
  std::string className() const override { return "ILImageIOCoder"; }

 private:
  CGImageSourceRef imageSource_;
  bool incremental_ = false;
  uint64_t width_ = 0, height_ = 0;
  double scale_ = 1;
  bool finished_ = false;
  bool preserveAspectRatio_ = true;
  CGSize thumbnailSize_{0, 0};
  bool lazyDecode_ = true;
  bool decodeToHDR_ = false;
};

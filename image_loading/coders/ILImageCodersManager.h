#pragma once

// The one entry through which the library decodes and encodes image data
// when no particular coder is asked for: an ordered list of coders, asked
// from the most recently added to the oldest. The manager is itself a coder.
// The list may change from any thread while decoding goes on elsewhere:
// every request works on a snapshot taken under the lock.

#include <vector>

#include "image_loading/coders/ILImageCoder.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"

class ILImageCodersManager : public NSObject, public ILImageCoder {
 public:
  // Default list: the ImageIO coder, the GIF coder, the APNG coder (asked in
  // the reverse order).
  ILImageCodersManager();
  static std::shared_ptr<ILImageCodersManager> sharedManager();

  // Oldest first.
  std::vector<ILImageCoderPtr> coders() const;
  void setCoders(const std::vector<ILImageCoderPtr>& coders);
  // Objects that are not coders are ignored.
  void addCoder(const std::shared_ptr<NSObject>& coder);
  void removeCoder(const std::shared_ptr<NSObject>& coder);

  bool canDecodeFromData(const NSDataPtr& data) const override;
  // The first willing coder's answer, even when it is nullptr.
  UIImagePtr decodedImageWithData(const NSDataPtr& data, const Value& options) const override;
  bool canEncodeToFormat(ILImageFormatCode format) const override;
  NSDataPtr encodedDataWithImage(const UIImagePtr& image, ILImageFormatCode format,
                                 const Value& options) const override;
  bool respondsToEncodedDataWithFrames() const override { return true; }
  NSDataPtr encodedDataWithFrames(const std::vector<ILImageFrame>& frames, uint64_t loopCount,
                                  ILImageFormatCode format, const Value& options) const override;

  std::string className() const override { return "ILImageCodersManager"; }

 private:
  mutable Mutex codersLock_;
  std::vector<ILImageCoderPtr> imageCoders_ GUARDED_BY(codersLock_);
};

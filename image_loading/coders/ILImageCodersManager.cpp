#include "image_loading/coders/ILImageCodersManager.h"

#include <algorithm>

#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "image_loading/coders/ILImageIOCoder.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"

namespace {

std::shared_ptr<ILImageCodersManager>& sharedSlot() {
  static std::shared_ptr<ILImageCodersManager> slot;
  return slot;
}
Mutex& sharedMutex() {
  static Mutex m;  // guards the shared manager
  return m;
}

}  // namespace

ILImageCodersManager::ILImageCodersManager()
    : imageCoders_{ILImageIOCoder::sharedCoder(), ILImageGIFCoder::sharedCoder(),
                   ILImageAPNGCoder::sharedCoder()} {}

std::shared_ptr<ILImageCodersManager> ILImageCodersManager::sharedManager() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    SingletonResets::add([] {
      MutexLock lock(sharedMutex());
      sharedSlot().reset();
    });
  });
  MutexLock lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<ILImageCodersManager>();
  return sharedSlot();
}

std::vector<ILImageCoderPtr> ILImageCodersManager::coders() const {
  MutexLock lock(codersLock_);
  return imageCoders_;
}

void ILImageCodersManager::setCoders(const std::vector<ILImageCoderPtr>& coders) {
  MutexLock lock(codersLock_);
  imageCoders_.clear();
  for (const ILImageCoderPtr& coder : coders) {
    if (coder) imageCoders_.push_back(coder);
  }
}

void ILImageCodersManager::addCoder(const std::shared_ptr<NSObject>& object) {
  auto coder = std::dynamic_pointer_cast<ILImageCoder>(object);
  if (!coder) return;
  MutexLock lock(codersLock_);
  imageCoders_.push_back(std::move(coder));
}

void ILImageCodersManager::removeCoder(const std::shared_ptr<NSObject>& object) {
  auto coder = std::dynamic_pointer_cast<ILImageCoder>(object);
  if (!coder) return;
  MutexLock lock(codersLock_);
  std::erase(imageCoders_, coder);
}

bool ILImageCodersManager::canDecodeFromData(const NSDataPtr& data) const {
  const auto list = coders();
  return std::any_of(list.rbegin(), list.rend(),
                     [&](const ILImageCoderPtr& c) { return c->canDecodeFromData(data); });
}

bool ILImageCodersManager::canEncodeToFormat(ILImageFormatCode format) const {
  const auto list = coders();
  return std::any_of(list.rbegin(), list.rend(),
                     [&](const ILImageCoderPtr& c) { return c->canEncodeToFormat(format); });
}

UIImagePtr ILImageCodersManager::decodedImageWithData(const NSDataPtr& data,
                                                      const Value& options) const {
  if (!data) return nullptr;
  const auto list = coders();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if ((*it)->canDecodeFromData(data)) return (*it)->decodedImageWithData(data, options);
  }
  return nullptr;
}

NSDataPtr ILImageCodersManager::encodedDataWithImage(const UIImagePtr& image,
                                                     ILImageFormatCode format,
                                                     const Value& options) const {
  if (!image) return nullptr;
  const auto list = coders();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if ((*it)->canEncodeToFormat(format)) return (*it)->encodedDataWithImage(image, format, options);
  }
  return nullptr;
}

NSDataPtr ILImageCodersManager::encodedDataWithFrames(const std::vector<ILImageFrame>& frames,
                                                      uint64_t loopCount, ILImageFormatCode format,
                                                      const Value& options) const {
  if (frames.empty()) return nullptr;
  const auto list = coders();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if ((*it)->canEncodeToFormat(format) && (*it)->respondsToEncodedDataWithFrames()) {
      return (*it)->encodedDataWithFrames(frames, loopCount, format, options);
    }
  }
  return nullptr;
}

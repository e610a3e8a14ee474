#include "image_loading/animated/internal/ILWeakProxy.h"

std::shared_ptr<ILWeakProxy> ILWeakProxy::proxyWithTarget(const std::shared_ptr<NSObject>& target) {
  return std::make_shared<ILWeakProxy>(target);
}

bool ILWeakProxy::isEqual(const NSObject& other) const {
  auto strong = target();
  return strong && strong->isEqual(other);
}

size_t ILWeakProxy::hash() const {
  auto strong = target();
  return strong ? strong->hash() : 0;
}

std::string ILWeakProxy::description() const {
  auto strong = target();
  return strong ? strong->description() : std::string();
}

std::string ILWeakProxy::className() const {
  auto strong = target();
  return strong ? strong->className() : std::string();
}

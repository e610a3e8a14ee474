#include "image_loading/cache/ILImageLoadersManager.h"

#include <algorithm>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

std::shared_ptr<ILImageLoadersManager> ILImageLoadersManager::sharedManager() {
  static const auto shared = std::make_shared<ILImageLoadersManager>();
  return shared;
}

std::vector<ILImageLoaderPtr> ILImageLoadersManager::loaders() const {
  MutexLock lock(lock_);
  return imageLoaders_;
}

void ILImageLoadersManager::setLoaders(std::vector<ILImageLoaderPtr> loaders) {
  std::erase(loaders, nullptr);
  MutexLock lock(lock_);
  imageLoaders_ = std::move(loaders);
}

void ILImageLoadersManager::addLoader(const ILImageLoaderPtr& loader) {
  if (!loader) return;
  MutexLock lock(lock_);
  imageLoaders_.push_back(loader);
}

void ILImageLoadersManager::removeLoader(const ILImageLoaderPtr& loader) {
  MutexLock lock(lock_);
  std::erase(imageLoaders_, loader);
}

bool ILImageLoadersManager::canRequestImageForURL(const NSURLPtr& url) {
  return *canRequestImageForURL(url, 0, Value());
}

std::optional<bool> ILImageLoadersManager::canRequestImageForURL(
    const NSURLPtr& url, ILRemoteImageOptions options, const ILRemoteImageContext& context) {
  auto list = loaders();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    const std::optional<bool> detailed = (*it)->canRequestImageForURL(url, options, context);
    if (detailed ? *detailed : (*it)->canRequestImageForURL(url)) return true;
  }
  return false;
}

ILImageLoaderPtr ILImageLoadersManager::loaderForURL(const NSURLPtr& url) const {
  auto list = loaders();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if ((*it)->canRequestImageForURL(url)) return *it;
  }
  return nullptr;
}

ILRemoteImageOperationPtr ILImageLoadersManager::requestImageWithURL(
    const NSURLPtr& url, ILRemoteImageOptions options, const ILRemoteImageContext& context,
    ILImageLoaderProgressBlock progress, ILImageLoaderCompletedBlock completed) {
  if (!url) return nullptr;
  ILImageLoaderPtr loader = loaderForURL(url);
  if (!loader) return nullptr;
  return loader->requestImageWithURL(url, options, context, std::move(progress),
                                     std::move(completed));
}

bool ILImageLoadersManager::shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error) {
  ILImageLoaderPtr loader = loaderForURL(url);
  return loader && loader->shouldBlockFailedURL(url, error);
}

std::optional<bool> ILImageLoadersManager::shouldBlockFailedURL(
    const NSURLPtr& url, const NSErrorPtr& error, ILRemoteImageOptions options,
    const ILRemoteImageContext& context) {
  ILImageLoaderPtr loader = loaderForURL(url);
  if (!loader) return false;
  const std::optional<bool> detailed = loader->shouldBlockFailedURL(url, error, options, context);
  return detailed ? *detailed : loader->shouldBlockFailedURL(url, error);
}

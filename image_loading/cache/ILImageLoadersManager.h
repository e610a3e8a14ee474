#pragma once

// Several loaders behind one: a request goes to the most recently added
// loader that accepts the URL. A request no loader accepts gets no answer
// at all (nil back, neither progress nor completion called).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "image_loading/cache/ILImageCacheProtocol.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/ThreadChecks.h"

using ILImageLoaderProgressBlock =
    std::function<void(int64_t receivedSize, int64_t expectedSize, const NSURLPtr& targetURL)>;
// Called more than once for one request when it is progressive: every call
// before the last has finished == false.
using ILImageLoaderCompletedBlock =
    std::function<void(UIImagePtr image, NSDataPtr data, NSErrorPtr error, bool finished)>;

class ILImageLoader {
 public:
  virtual ~ILImageLoader() = default;
  virtual bool canRequestImageForURL(const NSURLPtr& url) = 0;
  // nullopt: the loader has no opinion beyond the URL alone.
  virtual std::optional<bool> canRequestImageForURL(const NSURLPtr&, ILRemoteImageOptions,
                                                    const ILRemoteImageContext&) {
    return std::nullopt;
  }
  virtual ILRemoteImageOperationPtr requestImageWithURL(const NSURLPtr& url,
                                                        ILRemoteImageOptions options,
                                                        const ILRemoteImageContext& context,
                                                        ILImageLoaderProgressBlock progress,
                                                        ILImageLoaderCompletedBlock completed) = 0;
  virtual bool shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error) = 0;
  // nullopt: the loader decides by URL and error alone.
  virtual std::optional<bool> shouldBlockFailedURL(const NSURLPtr&, const NSErrorPtr&,
                                                   ILRemoteImageOptions,
                                                   const ILRemoteImageContext&) {
    return std::nullopt;
  }
};
using ILImageLoaderPtr = std::shared_ptr<ILImageLoader>;

class ILImageLoadersManager : public NSObject, public ILImageLoader {
 public:
  static std::shared_ptr<ILImageLoadersManager> sharedManager();

  std::vector<ILImageLoaderPtr> loaders() const;
  void setLoaders(std::vector<ILImageLoaderPtr> loaders);
  void addLoader(const ILImageLoaderPtr& loader);
  void removeLoader(const ILImageLoaderPtr& loader);

  bool canRequestImageForURL(const NSURLPtr& url) override;
  std::optional<bool> canRequestImageForURL(const NSURLPtr& url, ILRemoteImageOptions options,
                                            const ILRemoteImageContext& context) override;
  ILRemoteImageOperationPtr requestImageWithURL(const NSURLPtr& url, ILRemoteImageOptions options,
                                                const ILRemoteImageContext& context,
                                                ILImageLoaderProgressBlock progress,
                                                ILImageLoaderCompletedBlock completed) override;
  bool shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error) override;
  std::optional<bool> shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error,
                                           ILRemoteImageOptions options,
                                           const ILRemoteImageContext& context) override;

 private:
  // The first loader, from the newest, that takes the URL.
  ILImageLoaderPtr loaderForURL(const NSURLPtr& url) const;

  mutable Mutex lock_;
  std::vector<ILImageLoaderPtr> imageLoaders_ GUARDED_BY(lock_);
};

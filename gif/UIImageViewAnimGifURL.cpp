#include <string>
#include <vector>

#include "gif/AnimGifManager.h"
#include "gif/UIImageAnimGif.h"
#include "gif/UIImageViewAnimGif.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/network/NSURLSession.h"
#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIImageView.h"

namespace AnimGif {
namespace {

void tellFailure(const UIImageViewPtr& view, const NSURLPtr& url, const NSErrorPtr& error) {
  if (auto d = delegate(*view)) d->gifURLDidFailWithSender(view, url, error);
}

// Plays bytes loaded for `url`, from the remote cache or the network, and
// keeps them there only when they make a GIF.
void playLoadedBytes(const UIImageViewPtr& view, const NSURLPtr& url, const NSDataPtr& data,
                     const AnimGifManagerPtr& manager, int64_t loops, float level) {
  auto image = std::make_shared<UIImage>();
  NSErrorPtr error;
  if (!setGifFromData(*image, data, level, &error)) {
    tellFailure(view, url, error);
    return;
  }
  // Bytes that are no image at all parse without error but would play
  // nothing; caching them would fail every later load the same way.
  if (!imageSource(*image)) {
    tellFailure(view, url, GifParseErrorMake(GifParseError::noImages));
    return;
  }
  manager->setRemoteCacheObject(*url, data);
  setGifImage(view, image, manager, loops);
  startAnimatingGif(view);
  if (auto d = delegate(*view)) d->gifURLDidFinishWithSender(view);
}

// The loader, centred on the view by two constraints; removing it from the
// view takes them away too.
UIViewPtr showLoader(const UIImageViewPtr& view, const UIViewPtr& customLoader) {
  UIViewPtr loader = customLoader ? customLoader : std::make_shared<UIActivityIndicatorView>();
  view->addSubview(loader);
  loader->setTranslatesAutoresizingMaskIntoConstraints(false);
  NSLayoutConstraint::activateConstraints(
      {loader->centerXAnchor().constraintEqualToAnchor(view->centerXAnchor()),
       loader->centerYAnchor().constraintEqualToAnchor(view->centerYAnchor())});
  if (auto spinner = std::dynamic_pointer_cast<UIActivityIndicatorView>(loader)) {
    spinner->startAnimating();
  }
  return loader;
}

// A failure for an answer outside 2xx, whose body is an error page.
NSErrorPtr statusError(const NSHTTPURLResponsePtr& response, const NSURL& url) {
  if (!response) return nullptr;
  const int64_t status = response->statusCode();
  if (status >= 200 && status <= 299) return nullptr;
  return NSURLErrorMake(NSURLErrorBadServerResponse, url.absoluteString(),
                        "The server answered with HTTP status " + std::to_string(status) + ".");
}

}  // namespace

NSURLSessionDataTaskPtr setGifFromURL(const UIImageViewPtr& view, const NSURLPtr& url,
                                      const AnimGifManagerPtr& manager, int64_t loops,
                                      float level, const NSURLSessionPtr& session,
                                      bool showLoaderView, const UIViewPtr& customLoader) {
  QX_DCHECK_MAIN_THREAD();
  if (!view || !url || !manager) return nullptr;
  if (NSDataPtr cached = manager->remoteCacheObjectForURL(*url)) {
    playLoadedBytes(view, url, cached, manager, loops, level);
    return nullptr;
  }
  stopAnimatingGif(view);
  UIViewPtr loader = showLoaderView ? showLoader(view, customLoader) : nullptr;
  NSURLSessionPtr through = session ? session : NSURLSession::sharedSession();
  std::weak_ptr<UIImageView> weakView = view;
  auto task = through->dataTaskWithURL(
      url, [weakView, url, manager, loops, level, loader = std::move(loader)](
               NSDataPtr data, NSHTTPURLResponsePtr response, NSErrorPtr error) mutable {
        // Everything moves to the main thread, so that the views and the
        // manager are released there too.
        dispatch_async(dispatch_get_main_queue(),
                       [weakView, url = std::move(url), manager = std::move(manager), loops,
                        level, loader = std::move(loader), data = std::move(data),
                        response = std::move(response), error = std::move(error)] {
                         if (loader) loader->removeFromSuperview();
                         auto view = weakView.lock();
                         if (!view) return;
                         if (!data) {
                           tellFailure(view, url, error);
                         } else if (NSErrorPtr failed = statusError(response, *url)) {
                           tellFailure(view, url, failed);
                         } else {
                           playLoadedBytes(view, url, data, manager, loops, level);
                         }
                       });
      });
  task->resume();
  return task;
}

UIImageViewPtr imageViewWithGifURL(const NSURLPtr& url, const AnimGifManagerPtr& manager,
                                   int64_t loops) {
  auto view = std::make_shared<UIImageView>();
  setGifFromURL(view, url, manager, loops, LevelOfIntegrity::defaultLevel,
                NSURLSession::sharedSession(), true, nullptr);
  return view;
}

}  // namespace AnimGif

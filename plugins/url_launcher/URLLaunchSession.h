#pragma once

// One in-app browser showing a URL, and the pending reply of the request that
// opened it. The session is the browser's delegate; it sends at most one
// result: success or failedToLoad after the first load, dismissed when closed
// before it.

#include <functional>
#include <memory>

#include "plugins/url_launcher/UrlLauncherApi.h"
#include "platform/safariservices/SFSafariViewController.h"

class URLLaunchSession : public NSObject, public SFSafariViewControllerDelegate {
 public:
  using Completion = OnceCallback<void(url_launcher_ios::InAppLoadResult)>;

  // Makes the browser for the URL, with this session as its delegate.
  static std::shared_ptr<URLLaunchSession> make(NSURLPtr url, Completion completion);

  const NSURLPtr& url() const { return url_; }
  bool isLoadCompleted() const { return isLoadCompleted_; }
  const std::shared_ptr<SFSafariViewController>& safariViewController() const {
    return safariViewController_;
  }
  // Called when the session ends (closed by the user or by close()).
  void setDidFinish(std::function<void()> didFinish) { didFinish_ = std::move(didFinish); }

  // Sends dismissed when the first load has not finished, dismisses the
  // browser and calls didFinish.
  void close();

  void safariViewControllerDidCompleteInitialLoad(SFSafariViewController& controller,
                                                  bool didLoadSuccessfully) override;
  void safariViewControllerDidFinish(SFSafariViewController& controller) override;

 private:
  URLLaunchSession(NSURLPtr url, Completion completion);
  // The reply goes once; anything after it is dropped.
  void complete(url_launcher_ios::InAppLoadResult result);

  Completion completion_;
  NSURLPtr url_;
  bool isLoadCompleted_ = false;
  std::shared_ptr<SFSafariViewController> safariViewController_;
  std::function<void()> didFinish_;
};

#pragma once

// The in-app browser, headless: a view controller that shows one URL. There is
// no web engine behind it, so the outcome of the first load and the user's
// Done button are reported from outside (tests, drivers) through
// reportInitialLoad and userDidTapDone, which reach the delegate as the
// platform's browser would.

#include <memory>

#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIViewController.h"

class SFSafariViewController;

// Both methods are optional; the defaults do nothing.
class SFSafariViewControllerDelegate {
 public:
  virtual ~SFSafariViewControllerDelegate() = default;
  virtual void safariViewControllerDidCompleteInitialLoad(SFSafariViewController&,
                                                          bool /*didLoadSuccessfully*/) {}
  virtual void safariViewControllerDidFinish(SFSafariViewController&) {}
};

class SFSafariViewController : public UIViewController {
 public:
  explicit SFSafariViewController(NSURLPtr url) : url_(std::move(url)) {}
  static std::shared_ptr<SFSafariViewController> initWithURL(NSURLPtr url) {
    return std::make_shared<SFSafariViewController>(std::move(url));
  }

  const NSURLPtr& URL() const { return url_; }
  // Held weakly, as the platform holds its delegates.
  std::shared_ptr<SFSafariViewControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<SFSafariViewControllerDelegate>& d) { delegate_ = d; }

  // The first load finished; later reports are ignored, as there is only one
  // first load.
  void reportInitialLoad(bool success);
  bool hasCompletedInitialLoad() const { return initialLoadReported_; }
  // The user closed the browser: it dismisses itself, then tells the delegate.
  void userDidTapDone();

 private:
  NSURLPtr url_;
  std::weak_ptr<SFSafariViewControllerDelegate> delegate_;
  bool initialLoadReported_ = false;
};

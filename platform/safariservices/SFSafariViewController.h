#pragma once

// The in-app browser: a full-screen view controller that shows one URL. Its
// view holds a bar (a Done button, the page's title and the site's host) over
// a web view that loads the URL for real (WKWebView, through the URL session)
// as soon as the view loads; a failed load shows why in place of the page.
// The delegate hears once how the first load went, and that the person
// closed the browser with Done, after it dismissed itself.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIViewController.h"
#include "platform/webkit/WKNavigation.h"

class SFSafariViewController;
class UIButton;
class UILabel;
class UIActivityIndicatorView;
class WKWebView;

// Both methods are optional; the defaults do nothing.
class SFSafariViewControllerDelegate {
 public:
  virtual ~SFSafariViewControllerDelegate() = default;
  virtual void safariViewControllerDidCompleteInitialLoad(SFSafariViewController&,
                                                          bool /*didLoadSuccessfully*/) {}
  virtual void safariViewControllerDidFinish(SFSafariViewController&) {}
};

class SFSafariViewController : public UIViewController, public WKNavigationDelegate {
 public:
  explicit SFSafariViewController(NSURLPtr url);
  ~SFSafariViewController() override;
  static std::shared_ptr<SFSafariViewController> initWithURL(NSURLPtr url) {
    return std::make_shared<SFSafariViewController>(std::move(url));
  }

  const NSURLPtr& URL() const { return url_; }
  // Held weakly, as the platform holds its delegates.
  std::shared_ptr<SFSafariViewControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<SFSafariViewControllerDelegate>& d) { delegate_ = d; }

  bool hasCompletedInitialLoad() const { return initialLoadReported_; }
  // What the Done button does: the browser dismisses itself, then tells the
  // delegate.
  void userDidTapDone();

  void loadView() override;
  void viewDidLoad() override;
  void viewDidLayoutSubviews() override;

  // The web view's reports. A page that arrived counts as loaded whatever
  // its HTTP status, as in a browser; a failure before or after it arrived,
  // or the web content's end, counts as failed.
  void didCommitNavigation(WKWebView& webView, const WKNavigationPtr& navigation) override;
  void didFinishNavigation(WKWebView& webView, const WKNavigationPtr& navigation) override;
  void didFailProvisionalNavigation(WKWebView& webView, const WKNavigationPtr& navigation,
                                    const NSErrorPtr& error) override;
  void didFailNavigation(WKWebView& webView, const WKNavigationPtr& navigation,
                         const NSErrorPtr& error) override;
  void webViewWebContentProcessDidTerminate(WKWebView& webView) override;

 private:
  // The first load finished; only the first report reaches the delegate.
  void reportInitialLoad(bool success);
  void showFailure(const std::string& reason);
  // The bar's title: the page's title once it has one, else the host.
  void updateBar();

  NSURLPtr url_;
  std::weak_ptr<SFSafariViewControllerDelegate> delegate_;
  bool initialLoadReported_ = false;
  std::shared_ptr<WKWebView> webView_;
  std::shared_ptr<UIView> bar_, barLine_;
  std::shared_ptr<UIButton> done_;
  std::shared_ptr<UILabel> title_, host_, failure_;
  std::shared_ptr<UIActivityIndicatorView> spinner_;
};

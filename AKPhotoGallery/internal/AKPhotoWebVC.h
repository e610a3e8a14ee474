#pragma once

// A web address read from a QR code, opened in a web view: a spinner while
// it loads, the page's title as the screen's title, and the error in the
// middle of the screen when the first load fails.

#include <memory>
#include <optional>
#include <string>

#include "platform/uikit/UIViewController.h"
#include "platform/webkit/WKWebView.h"

class UIActivityIndicatorView;
class UILabel;

class AKPhotoWebVC : public UIViewController, public WKNavigationDelegate {
 public:
  const std::optional<std::string>& urlString() const { return urlString_; }
  // Read once, when the view loads.
  void setUrlString(std::optional<std::string> string) { urlString_ = std::move(string); }
  // Made on first use, with a script that declares a device-wide viewport.
  const std::shared_ptr<WKWebView>& webView();
  const std::shared_ptr<UIActivityIndicatorView>& spinner() const { return spinner_; }
  const std::shared_ptr<UILabel>& errorLabel() const { return errorLabel_; }
  bool hasFinished() const { return hasFinished_; }

  void viewDidLoad() override;
  void viewDidLayoutSubviews() override;

  void didFinishNavigation(WKWebView& webView, const WKNavigationPtr& navigation) override;
  void didFailProvisionalNavigation(WKWebView& webView, const WKNavigationPtr& navigation,
                                    const NSErrorPtr& error) override;
  void decidePolicyForNavigationAction(WKWebView& webView, const WKNavigationActionPtr& action,
                                       WKNavigationActionDecisionHandler decisionHandler) override;
  void webViewWebContentProcessDidTerminate(WKWebView& webView) override;

  std::string className() const override { return "AKPhotoWebVC"; }

  static constexpr double kTimeout = 20;
  static const char* const kViewportScript;

 private:
  std::optional<std::string> urlString_;
  std::shared_ptr<WKWebView> webView_;
  std::shared_ptr<UIActivityIndicatorView> spinner_;
  std::shared_ptr<UILabel> errorLabel_;
  bool hasFinished_ = false;
};

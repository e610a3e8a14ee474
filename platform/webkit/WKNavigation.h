#pragma once

// Navigations and what a web view tells its navigation delegate about them.
// Every delegate method is called on the main thread; each default answers
// as a delegate that does not implement it.

#include <cstdint>
#include <memory>

#include "platform/foundation/NSError.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/network/NSURLRequest.h"

class WKWebView;

// WebKit's own error domains and the codes the web view reports.
extern const char* const WKErrorDomain;
extern const char* const WebKitErrorDomain;
inline constexpr int64_t WKErrorJavaScriptExceptionOccurred = 4;
inline constexpr int64_t WebKitErrorFrameLoadInterruptedByPolicyChange = 102;
// User-info keys of a JavaScript error.
extern const char* const WKJavaScriptExceptionMessage;

enum WKNavigationType : int64_t {
  WKNavigationTypeLinkActivated = 0,
  WKNavigationTypeFormSubmitted = 1,
  WKNavigationTypeBackForward = 2,
  WKNavigationTypeReload = 3,
  WKNavigationTypeFormResubmitted = 4,
  WKNavigationTypeOther = -1,
};

enum WKNavigationActionPolicy : int64_t {
  WKNavigationActionPolicyCancel = 0,
  WKNavigationActionPolicyAllow = 1,
};

// One load the web view started; the delegate is told about it by identity.
class WKNavigation : public NSObject {
 public:
  std::string className() const override { return "WKNavigation"; }
};

using WKNavigationPtr = std::shared_ptr<WKNavigation>;

class WKNavigationAction : public NSObject {
 public:
  WKNavigationAction(WKNavigationType type, NSURLRequestPtr request)
      : type_(type), request_(std::move(request)) {}
  WKNavigationType navigationType() const { return type_; }
  const NSURLRequestPtr& request() const { return request_; }
  std::string className() const override { return "WKNavigationAction"; }

 private:
  WKNavigationType type_;
  NSURLRequestPtr request_;
};

using WKNavigationActionPtr = std::shared_ptr<WKNavigationAction>;
using WKNavigationActionDecisionHandler = OnceCallback<void(WKNavigationActionPolicy)>;

class WKNavigationDelegate {
 public:
  virtual ~WKNavigationDelegate() = default;
  // Before each load and each server redirect. Until the handler is called
  // the navigation waits. The default allows.
  virtual void decidePolicyForNavigationAction(WKWebView& webView,
                                               const WKNavigationActionPtr& action,
                                               WKNavigationActionDecisionHandler decisionHandler);
  virtual void didStartProvisionalNavigation(WKWebView&, const WKNavigationPtr&) {}
  virtual void didReceiveServerRedirectForProvisionalNavigation(WKWebView&,
                                                                const WKNavigationPtr&) {}
  // The response arrived: the page is the web view's document from now on.
  virtual void didCommitNavigation(WKWebView&, const WKNavigationPtr&) {}
  virtual void didFinishNavigation(WKWebView&, const WKNavigationPtr&) {}
  // Failures before the commit (the transport's error, a cancel: -999)...
  virtual void didFailProvisionalNavigation(WKWebView&, const WKNavigationPtr&,
                                            const NSErrorPtr&) {}
  // ...and after it.
  virtual void didFailNavigation(WKWebView&, const WKNavigationPtr&, const NSErrorPtr&) {}
  virtual void webViewWebContentProcessDidTerminate(WKWebView&) {}
};

#pragma once

// A web view that loads pages for real (through WKPageLoader: the URL
// session by default) and tells its navigation delegate what a browser's
// web view tells it, in the same order, on the main thread:
//   decide policy (type, request) → did start provisional navigation →
//   [per server redirect: decide policy again → did receive server redirect]
//   → did commit → did finish, or did fail provisional navigation before the
//   commit (the transport's error; -999 when stopped or replaced by another
//   load), did fail navigation after it, or the content process's end.
// An HTML page's title is read as it arrives (WKHTMLTitleReader, off the
// main thread). There is no script engine and no layout: scripts are kept,
// never run; `evaluateJavaScript` answers "document.title" from the page and
// every other script with WebKit's JavaScript error; the view draws its
// background only.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ValueFwd.h"
#include "platform/uikit/UIView.h"
#include "platform/webkit/WKNavigation.h"
#include "platform/webkit/WKPageLoader.h"
#include "platform/webkit/WKWebViewConfiguration.h"

class WKWebView : public UIView {
 public:
  // The configuration is copied; null stands for a default one.
  WKWebView(const CGRect& frame, const WKWebViewConfigurationPtr& configuration);
  ~WKWebView() override;

  WKWebViewConfigurationPtr configuration() const;
  std::shared_ptr<WKNavigationDelegate> navigationDelegate() const { return delegate_.lock(); }
  // Held weakly.
  void setNavigationDelegate(std::weak_ptr<WKNavigationDelegate> delegate);

  // Starts a navigation of type "other"; a navigation still under way is
  // stopped first. Null for a request without a URL.
  WKNavigationPtr loadRequest(const NSURLRequestPtr& request);
  // Ends the navigation under way, which fails with NSURLErrorCancelled.
  void stopLoading();

  // The page's title; nullopt before any page was shown.
  std::optional<std::string> title() const { return title_; }
  NSURLPtr URL() const { return url_; }
  bool isLoading() const { return navigation_ != nullptr; }

  // Answered on the main queue, after this returns.
  void evaluateJavaScript(const std::string& script,
                          OnceCallback<void(const Value& result, const NSErrorPtr& error)>
                              completionHandler);

  std::string className() const override { return "WKWebView"; }

 private:
  class Load;
  friend class Load;
  enum class Stage { Deciding, Provisional, Committed };

  void decide(const NSURLRequestPtr& request, OnceCallback<void(bool)> then);
  void start(const NSURLRequestPtr& request);
  void redirected(uint64_t id, const NSURLRequestPtr& request, OnceCallback<void(bool)> decide);
  void committed(uint64_t id, const NSHTTPURLResponsePtr& response);
  void titleRead(uint64_t id, const std::string& title);
  void finished(uint64_t id, const NSErrorPtr& error);
  void terminated(uint64_t id);
  // Ends the navigation under way (if any) and tells the delegate it failed.
  void fail(const NSErrorPtr& error);
  // Forgets the navigation under way; answers it for the delegate's call.
  WKNavigationPtr end();

  WKWebViewConfiguration configuration_;
  std::weak_ptr<WKNavigationDelegate> delegate_;
  std::optional<std::string> title_;
  NSURLPtr url_;
  // The navigation under way: its number (reports of earlier ones are
  // dropped), stage and load.
  WKNavigationPtr navigation_;
  uint64_t navigationId_ = 0;
  Stage stage_ = Stage::Deciding;
  std::shared_ptr<WKPageLoad> load_;
};

using WKWebViewPtr = std::shared_ptr<WKWebView>;

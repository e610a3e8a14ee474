#include "platform/webkit/WKWebView.h"


#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/network/NSURLError.h"
#include "platform/webkit/WKHTMLTitleReader.h"

const char* const WKErrorDomain = "WKErrorDomain";
const char* const WebKitErrorDomain = "WebKitErrorDomain";
const char* const WKJavaScriptExceptionMessage = "WKJavaScriptExceptionMessage";

void WKNavigationDelegate::decidePolicyForNavigationAction(
    WKWebView&, const WKNavigationActionPtr&, WKNavigationActionDecisionHandler decisionHandler) {
  decisionHandler(WKNavigationActionPolicyAllow);
}

namespace {

bool IsHTML(const NSHTTPURLResponsePtr& response) {
  const auto& type = response ? response->MIMEType() : std::nullopt;
  return !type || *type == "text/html" || *type == "application/xhtml+xml";
}

std::string Trimmed(const std::string& s) {
  size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  size_t last = s.find_last_not_of(" \t\r\n;");
  return last < first ? "" : s.substr(first, last - first + 1);
}

}  // namespace

// One navigation's load, seen from the loader's thread: reads the title as
// the page streams in and hands every report to the main thread, tagged
// with the navigation's number so that reports of a replaced navigation
// are dropped there.
class WKWebView::Load : public WKPageLoadClient {
 public:
  Load(std::weak_ptr<WKWebView> view, uint64_t id) : view_(std::move(view)), id_(id) {}

  void willRedirect(const NSURLRequestPtr& request, OnceCallback<void(bool)> decide) override {
    post([request, decide = std::move(decide)](WKWebView& view, uint64_t id) mutable {
      view.redirected(id, request, std::move(decide));
    });
  }

  void didReceiveResponse(const NSHTTPURLResponsePtr& response) override {
    {
      MutexLock lock(mutex_);
      // A new document (after a redirect's response, say) reads afresh.
      reader_.reset();
      titlePosted_ = false;
      if (IsHTML(response)) {
        reader_ = std::make_unique<WKHTMLTitleReader>(
            response ? response->textEncodingName().value_or("") : "");
      }
    }
    post([response](WKWebView& view, uint64_t id) { view.committed(id, response); });
  }

  void didReceiveData(const uint8_t* bytes, size_t length) override {
    MutexLock lock(mutex_);
    if (!reader_ || titlePosted_) return;
    reader_->feed(bytes, length);
    if (reader_->done()) postTitle();
  }

  void didFinish(const NSErrorPtr& error) override {
    {
      MutexLock lock(mutex_);
      if (reader_ && !titlePosted_) {
        reader_->finish();
        postTitle();
      }
    }
    post([error](WKWebView& view, uint64_t id) { view.finished(id, error); });
  }

  void webContentProcessDidTerminate() override {
    post([](WKWebView& view, uint64_t id) { view.terminated(id); });
  }

 private:
  template <typename F>
  void post(F f) {
    dispatch_async(dispatch_get_main_queue(),
                   WeakBind(view_, [id = id_, f = std::move(f)](WKWebView& view) mutable {
                     f(view, id);
                   }));
  }
  void postTitle() REQUIRES(mutex_) {
    titlePosted_ = true;
    post([title = reader_->title()](WKWebView& view, uint64_t id) { view.titleRead(id, title); });
  }

  const std::weak_ptr<WKWebView> view_;
  const uint64_t id_;
  Mutex mutex_;  // guards reader_ and titlePosted_
  std::unique_ptr<WKHTMLTitleReader> reader_ GUARDED_BY(mutex_);
  bool titlePosted_ GUARDED_BY(mutex_) = false;
};

WKWebView::WKWebView(const CGRect& frame, const WKWebViewConfigurationPtr& configuration)
    : UIView(frame) {
  if (configuration) configuration_ = *configuration;
  setBackgroundColor(UIColor::whiteColor());
}

WKWebView::~WKWebView() {
  if (load_) load_->cancel();
}

WKWebViewConfigurationPtr WKWebView::configuration() const {
  return std::make_shared<WKWebViewConfiguration>(configuration_);
}

void WKWebView::setNavigationDelegate(std::weak_ptr<WKNavigationDelegate> delegate) {
  QX_DCHECK_MAIN_THREAD();
  delegate_ = std::move(delegate);
}

WKNavigationPtr WKWebView::loadRequest(const NSURLRequestPtr& request) {
  QX_DCHECK_MAIN_THREAD();
  if (!request || !request->URL()) return nullptr;
  stopLoading();
  navigation_ = std::make_shared<WKNavigation>();
  const uint64_t id = ++navigationId_;
  stage_ = Stage::Deciding;
  url_ = request->URL();
  // The delegate is asked after this returns, as the platform does.
  dispatch_async(dispatch_get_main_queue(),
                 WeakBind(this, [id, request](WKWebView& view) {
                   if (id != view.navigationId_ || !view.navigation_) return;
                   view.decide(request, WeakBind(&view, [id, request](WKWebView& v, bool allow) {
                                 if (id != v.navigationId_ || !v.navigation_) return;
                                 if (allow) {
                                   v.start(request);
                                 } else {
                                   v.end();  // refused before it began: nothing to report
                                 }
                               }));
                 }));
  return navigation_;
}

void WKWebView::stopLoading() {
  QX_DCHECK_MAIN_THREAD();
  if (navigation_) fail(NSURLErrorMake(NSURLErrorCancelled, url_ ? url_->absoluteString() : ""));
}

void WKWebView::evaluateJavaScript(
    const std::string& script,
    OnceCallback<void(const Value& result, const NSErrorPtr& error)> completionHandler) {
  QX_DCHECK_MAIN_THREAD();
  Value result;
  NSErrorPtr error;
  if (Trimmed(script) == "document.title") {
    result = Value(title_.value_or(""));
  } else {
    error = NSError::errorWithDomain(
        WKErrorDomain, WKErrorJavaScriptExceptionOccurred,
        Value::map({{NSLocalizedDescriptionKey, "A JavaScript exception occurred"},
                    {WKJavaScriptExceptionMessage, "There is no script engine to run this script"}}));
  }
  if (!completionHandler) return;
  dispatch_async(dispatch_get_main_queue(), [completion = std::move(completionHandler), result,
                                             error]() mutable { completion(result, error); });
}

void WKWebView::decide(const NSURLRequestPtr& request, OnceCallback<void(bool)> then) {
  auto delegate = navigationDelegate();
  if (!delegate) {
    then(true);
    return;
  }
  auto action = std::make_shared<WKNavigationAction>(WKNavigationTypeOther, request);
  delegate->decidePolicyForNavigationAction(
      *this, action, [then = std::move(then)](WKNavigationActionPolicy policy) mutable {
        then(policy == WKNavigationActionPolicyAllow);
      });
}

void WKWebView::start(const NSURLRequestPtr& request) {
  stage_ = Stage::Provisional;
  auto navigation = navigation_;
  load_ = WKPageLoader::defaultLoader()->load(
      request, std::make_shared<Load>(WeakFromThis(this), navigationId_));
  if (auto delegate = navigationDelegate()) delegate->didStartProvisionalNavigation(*this, navigation);
}

void WKWebView::redirected(uint64_t id, const NSURLRequestPtr& request,
                           OnceCallback<void(bool)> follow) {
  if (id != navigationId_ || !navigation_) {
    follow(false);
    return;
  }
  url_ = request->URL();
  decide(request, WeakBind(this, [id, follow = std::move(follow)](WKWebView& view,
                                                                   bool allow) mutable {
           if (id != view.navigationId_ || !view.navigation_) {
             follow(false);
             return;
           }
           if (!allow) {
             follow(false);
             view.fail(NSError::errorWithDescription(WebKitErrorDomain,
                                                     WebKitErrorFrameLoadInterruptedByPolicyChange,
                                                     "Frame load interrupted"));
             return;
           }
           if (auto delegate = view.navigationDelegate()) {
             delegate->didReceiveServerRedirectForProvisionalNavigation(view, view.navigation_);
           }
           follow(true);
         }));
}

void WKWebView::committed(uint64_t id, const NSHTTPURLResponsePtr& response) {
  if (id != navigationId_ || !navigation_) return;
  stage_ = Stage::Committed;
  title_ = "";
  if (response && response->URL()) url_ = response->URL();
  if (auto delegate = navigationDelegate()) delegate->didCommitNavigation(*this, navigation_);
}

void WKWebView::titleRead(uint64_t id, const std::string& title) {
  if (id != navigationId_ || !navigation_) return;
  title_ = title;
}

void WKWebView::finished(uint64_t id, const NSErrorPtr& error) {
  if (id != navigationId_ || !navigation_) return;
  if (error) {
    fail(error);
    return;
  }
  auto navigation = end();
  if (auto delegate = navigationDelegate()) delegate->didFinishNavigation(*this, navigation);
}

void WKWebView::terminated(uint64_t id) {
  if (id != navigationId_ || !navigation_) return;
  end();
  if (auto delegate = navigationDelegate()) delegate->webViewWebContentProcessDidTerminate(*this);
}

void WKWebView::fail(const NSErrorPtr& error) {
  const Stage stage = stage_;
  auto navigation = end();
  if (!navigation || stage == Stage::Deciding) return;
  auto delegate = navigationDelegate();
  if (!delegate) return;
  if (stage == Stage::Committed) {
    delegate->didFailNavigation(*this, navigation, error);
  } else {
    delegate->didFailProvisionalNavigation(*this, navigation, error);
  }
}

WKNavigationPtr WKWebView::end() {
  auto navigation = std::move(navigation_);
  navigation_ = nullptr;
  if (load_) {
    load_->cancel();
    load_.reset();
  }
  return navigation;
}

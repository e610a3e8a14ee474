#include "AKPhotoGallery/internal/AKPhotoWebVC.h"

#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLRequest.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UILabel.h"

const char* const AKPhotoWebVC::kViewportScript =
    "var meta = document.createElement('meta'); meta.setAttribute('name', 'viewport'); "
    "meta.setAttribute('content', 'width=device-width'); "
    "document.getElementsByTagName('head')[0].appendChild(meta);";

namespace {

constexpr uint64_t kFlexibleSize = UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight;

}  // namespace

const std::shared_ptr<WKWebView>& AKPhotoWebVC::webView() {
  if (!webView_) {
    auto script = std::make_shared<WKUserScript>(kViewportScript, WKUserScriptInjectionTimeAtDocumentEnd, true);
    auto controller = std::make_shared<WKUserContentController>();
    controller->addUserScript(script);
    auto configuration = std::make_shared<WKWebViewConfiguration>();
    configuration->setUserContentController(controller);
    webView_ = std::make_shared<WKWebView>(CGRectZero, configuration);
  }
  return webView_;
}

void AKPhotoWebVC::viewDidLoad() {
  UIViewController::viewDidLoad();
  auto root = view();
  root->setBackgroundColor(UIColor::whiteColor());
  const CGRect bounds = root->bounds();

  auto web = webView();
  web->setNavigationDelegate(std::static_pointer_cast<AKPhotoWebVC>(shared_from_this()));
  web->setFrame(bounds);
  web->setAutoresizingMask(kFlexibleSize);
  root->addSubview(web);

  spinner_ = std::make_shared<UIActivityIndicatorView>(UIActivityIndicatorViewStyleGray);
  spinner_->setHidesWhenStopped(true);
  spinner_->setCenter(CGPointMake(bounds.size.width * 0.5, bounds.size.height * 0.5));
  spinner_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleTopMargin);
  root->addSubview(spinner_);

  errorLabel_ = std::make_shared<UILabel>(bounds);
  errorLabel_->setAutoresizingMask(kFlexibleSize);
  errorLabel_->setTextAlignment(NSTextAlignmentCenter);
  errorLabel_->setHidden(true);
  errorLabel_->setNumberOfLines(0);
  root->addSubview(errorLabel_);

  spinner_->startAnimating();
  if (!urlString_) return;
  // An address that does not parse loads nothing; the spinner keeps turning.
  if (auto url = NSURL::URLWithString(*urlString_)) {
    web->loadRequest(std::make_shared<NSURLRequest>(url, NSURLRequestCachePolicy::UseProtocolCachePolicy, kTimeout));
  }
}

void AKPhotoWebVC::viewDidLayoutSubviews() {
  UIViewController::viewDidLayoutSubviews();
  // The view loads at zero size and is sized by whoever shows it; margins
  // that keep their distance to the right and bottom edges would carry the
  // spinner into the corner, so it is put back in the middle here.
  const CGRect bounds = view()->bounds();
  if (spinner_) spinner_->setCenter(CGPointMake(bounds.size.width * 0.5, bounds.size.height * 0.5));
}

void AKPhotoWebVC::didFinishNavigation(WKWebView& webView, const WKNavigationPtr&) {
  spinner_->stopAnimating();
  webView.evaluateJavaScript(
      "document.title", WeakBind(WeakFromThis(this), [](AKPhotoWebVC& self, const Value& result,
                                                        const NSErrorPtr&) {
        if (result.isString()) {
          self.setTitle(result.asString());
        } else {
          self.setTitle("");  // the platform's "no title" reads as an empty one here
        }
        self.hasFinished_ = true;
        self.errorLabel_->setText("");
        if (!self.errorLabel_->isHidden()) self.errorLabel_->setHidden(true);
      }));
}

void AKPhotoWebVC::didFailProvisionalNavigation(WKWebView&, const WKNavigationPtr&,
                                                const NSErrorPtr& error) {
  spinner_->stopAnimating();
  if (!error || error->code() == NSURLErrorCancelled || hasFinished_) return;
  errorLabel_->setHidden(false);
  errorLabel_->setText(error->localizedDescription());
}

void AKPhotoWebVC::decidePolicyForNavigationAction(WKWebView&, const WKNavigationActionPtr& action,
                                                   WKNavigationActionDecisionHandler decisionHandler) {
  const auto& request = action->request();
  const auto url = request ? request->URL() : nullptr;
  if (action->navigationType() == WKNavigationTypeOther && url && url->scheme() == "itms-apps") {
    spinner_->stopAnimating();
  }
  decisionHandler(WKNavigationActionPolicyAllow);
}

void AKPhotoWebVC::webViewWebContentProcessDidTerminate(WKWebView&) { spinner_->stopAnimating(); }

#include "SFSafariViewController.h"

#include <algorithm>

#include "platform/network/NSURLRequest.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"
#include "platform/webkit/WKWebView.h"

namespace {

constexpr double kBarHeight = 50;
constexpr double kDoneWidth = 72;

void label(UIView& view, const std::string& text) {
  view.setAccessibilityLabel(text);
}

std::shared_ptr<UILabel> makeLabel(UIFontPtr font, UIColorPtr color) {
  auto l = std::make_shared<UILabel>();
  l->setFont(std::move(font));
  l->setTextColor(std::move(color));
  l->setTextAlignment(NSTextAlignmentCenter);
  return l;
}

std::string hostOf(const NSURLPtr& url) {
  if (!url) return "";
  auto host = url->host();
  return host && !host->empty() ? *host : url->absoluteString();
}

}  // namespace

SFSafariViewController::SFSafariViewController(NSURLPtr url) : url_(std::move(url)) {
  setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
}

SFSafariViewController::~SFSafariViewController() = default;

void SFSafariViewController::loadView() {
  auto view = std::make_shared<UIView>();
  view->setBackgroundColor(UIColor::whiteColor());
  label(*view, "Browser");
  webView_ = std::make_shared<WKWebView>(CGRectZero, nullptr);
  label(*webView_, "Web content");
  view->addSubview(webView_);
  failure_ = makeLabel(UIFont::systemFontOfSize(15), UIColor::darkGrayColor());
  failure_->setNumberOfLines(0);
  failure_->setHidden(true);
  view->addSubview(failure_);
  spinner_ = std::make_shared<UIActivityIndicatorView>(UIActivityIndicatorViewStyleMedium);
  spinner_->setHidesWhenStopped(true);
  view->addSubview(spinner_);

  bar_ = std::make_shared<UIView>();
  bar_->setBackgroundColor(UIColor::colorWithWhite(0.97, 1));
  view->addSubview(bar_);
  barLine_ = std::make_shared<UIView>();
  barLine_->setBackgroundColor(UIColor::colorWithWhite(0.8, 1));
  bar_->addSubview(barLine_);
  done_ = UIButton::buttonWithType(UIButtonType::System);
  done_->setTitle(std::string("Done"), UIControlStateNormal);
  done_->titleLabel()->setFont(UIFont::boldSystemFontOfSize(17));
  label(*done_, "Done");
  std::weak_ptr<SFSafariViewController> weak =
      std::static_pointer_cast<SFSafariViewController>(self());
  done_->addTarget(
      done_,
      [weak](UIControl&, UIEvent*) {
        if (auto browser = weak.lock()) browser->userDidTapDone();
      },
      UIControlEventTouchUpInside);
  bar_->addSubview(done_);
  title_ = makeLabel(UIFont::boldSystemFontOfSize(15), UIColor::blackColor());
  bar_->addSubview(title_);
  host_ = makeLabel(UIFont::systemFontOfSize(12), UIColor::grayColor());
  bar_->addSubview(host_);
  updateBar();
  setView(view);
}

// The page loads as soon as the browser is shown, as the platform's does.
void SFSafariViewController::viewDidLoad() {
  webView_->setNavigationDelegate(std::static_pointer_cast<SFSafariViewController>(self()));
  if (webView_->loadRequest(NSURLRequest::requestWithURL(url_))) spinner_->startAnimating();
}

void SFSafariViewController::viewDidLayoutSubviews() {
  CGRect b = view()->bounds();
  double top = view()->safeAreaInsets().top;
  double barBottom = top + kBarHeight;
  bar_->setFrame(CGRectMake(0, 0, b.size.width, barBottom));
  barLine_->setFrame(CGRectMake(0, barBottom - 0.5, b.size.width, 0.5));
  done_->setFrame(CGRectMake(4, top + 3, kDoneWidth, 44));
  double textWidth = std::max(0.0, b.size.width - 2 * (kDoneWidth + 8));
  // A title alone sits level with Done; over the host it moves up.
  double titleTop = host_->text().empty() ? top + 15 : top + 6;
  title_->setFrame(CGRectMake(kDoneWidth + 8, titleTop, textWidth, 20));
  host_->setFrame(CGRectMake(kDoneWidth + 8, top + 27, textWidth, 16));
  CGRect page = CGRectMake(0, barBottom, b.size.width, std::max(0.0, b.size.height - barBottom));
  webView_->setFrame(page);
  failure_->setFrame(CGRectInset(page, 32, 0));
  CGSize spin = spinner_->intrinsicContentSize();
  spinner_->setFrame(CGRectMake(CGRectGetMidX(page) - spin.width / 2,
                                CGRectGetMidY(page) - spin.height / 2, spin.width, spin.height));
}

void SFSafariViewController::updateBar() {
  auto title = webView_ ? webView_->title() : std::nullopt;
  NSURLPtr shown = webView_ && webView_->URL() ? webView_->URL() : url_;
  bool titled = title && !title->empty();
  title_->setText(titled ? *title : hostOf(shown));
  host_->setText(titled ? hostOf(shown) : "");
  if (isViewLoaded()) view()->setNeedsLayout();
}

void SFSafariViewController::reportInitialLoad(bool success) {
  spinner_->stopAnimating();
  updateBar();
  if (initialLoadReported_) return;
  initialLoadReported_ = true;
  if (auto d = delegate()) d->safariViewControllerDidCompleteInitialLoad(*this, success);
}

void SFSafariViewController::showFailure(const std::string& reason) {
  failure_->setText("Cannot Open the Page\n" + reason);
  failure_->setHidden(false);
  reportInitialLoad(false);
}

void SFSafariViewController::didCommitNavigation(WKWebView&, const WKNavigationPtr&) {
  failure_->setHidden(true);
  updateBar();
}

void SFSafariViewController::didFinishNavigation(WKWebView&, const WKNavigationPtr&) {
  reportInitialLoad(true);
}

void SFSafariViewController::didFailProvisionalNavigation(WKWebView&, const WKNavigationPtr&,
                                                          const NSErrorPtr& error) {
  showFailure(error ? error->localizedDescription() : "");
}

void SFSafariViewController::didFailNavigation(WKWebView&, const WKNavigationPtr&,
                                               const NSErrorPtr& error) {
  showFailure(error ? error->localizedDescription() : "");
}

void SFSafariViewController::webViewWebContentProcessDidTerminate(WKWebView&) {
  showFailure("The page's content stopped working.");
}

void SFSafariViewController::userDidTapDone() {
  // Keep this controller alive while its presenter lets go of it.
  auto self = std::static_pointer_cast<SFSafariViewController>(shared_from_this());
  if (presentingViewController()) dismissViewControllerAnimated(true);
  if (auto d = delegate()) d->safariViewControllerDidFinish(*this);
}

#include "AKPhotoGallery/internal/AKPDFView.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIActivityIndicatorView.h"

namespace {

bool sameURL(const NSURLPtr& a, const NSURLPtr& b) {
  if (!a || !b) return !a && !b;
  return a->isEqual(*b);
}

}  // namespace

std::shared_ptr<AKPDFView> AKPDFView::pdfView() {
  auto view = std::make_shared<AKPDFView>(Token{});
  view->setupUI();
  return view;
}

AKPDFView::AKPDFView(Token) : UIView(CGRectZero), pdfView_(std::make_shared<PDFView>()) {}

void AKPDFView::setupUI() {
  addSubview(pdfView_);
  pdfView_->setDisplayDirection(kPDFDisplayDirectionVertical);
  pdfView_->setTranslatesAutoresizingMaskIntoConstraints(false);
  NSLayoutConstraint::activateConstraints({
      pdfView_->leftAnchor().constraintEqualToAnchor(leftAnchor()),
      pdfView_->rightAnchor().constraintEqualToAnchor(rightAnchor()),
      pdfView_->topAnchor().constraintEqualToAnchor(topAnchor()),
      pdfView_->bottomAnchor().constraintEqualToAnchor(bottomAnchor()),
  });
  auto indicator = bufferingIndicator();
  indicator->setHidesWhenStopped(true);
  indicator->setUserInteractionEnabled(false);
  indicator->setCenter(center());
  indicator->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleRightMargin |
                                 UIViewAutoresizingFlexibleTopMargin |
                                 UIViewAutoresizingFlexibleBottomMargin);
  addSubview(indicator);
}

const std::shared_ptr<UIActivityIndicatorView>& AKPDFView::bufferingIndicator() {
  if (!bufferingIndicator_) {
    bufferingIndicator_ = std::make_shared<UIActivityIndicatorView>(UIActivityIndicatorViewStyleGray);
  }
  return bufferingIndicator_;
}

NSURLPtr AKPDFView::url() const {
  MutexLock lock(urlMutex_);
  return url_;
}

bool AKPDFView::showsURL(const NSURLPtr& url) const { return sameURL(this->url(), url); }

void AKPDFView::setUrl(NSURLPtr url) {
  if (showsURL(url)) return;
  {
    MutexLock lock(urlMutex_);
    url_ = url;
  }
  if (!url) {
    setDocument(nullptr);
    return;
  }
  bufferingIndicator()->startAnimating();
  auto self = SharedFromThis(this);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [self, url] {
    // Superseded before it started: not worth opening.
    if (!self->showsURL(url)) return;
    auto document = PDFDocument::initWithURL(url);
    dispatch_async(dispatch_get_main_queue(),
                   [self, url, document] { self->documentOpened(url, document); });
  });
}

void AKPDFView::documentOpened(const NSURLPtr& url, PDFDocumentPtr document) {
  if (showsURL(url)) {
    setDocument(std::move(document));
    // The fitting scale depends on the view's size: lay out first.
    layoutIfNeeded();
    pdfView_->setScaleFactor(pdfView_->scaleFactorForSizeToFit());
  }
  bufferingIndicator()->stopAnimating();
}

void AKPDFView::setDocument(PDFDocumentPtr document) {
  if (document == document_) return;
  document_ = std::move(document);
  pdfView_->setDocument(document_);
}

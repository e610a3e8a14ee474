#pragma once

// The content view of a PDF page: the platform's PDF view filling it, and a
// spinner while the document opens. Setting a URL opens the document on a
// background queue and shows it at the scale that fits the view; a newer
// URL supersedes a load still under way.

#include <memory>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/pdfkit/PDFDocument.h"
#include "platform/pdfkit/PDFView.h"
#include "platform/uikit/UIView.h"

class UIActivityIndicatorView;

class AKPDFView : public UIView {
  struct Token {};

 public:
  static std::shared_ptr<AKPDFView> pdfView();
  explicit AKPDFView(Token);

  NSURLPtr url() const;
  // Nothing happens for the URL already set; none drops the document.
  virtual void setUrl(NSURLPtr url);
  const PDFDocumentPtr& document() const { return document_; }
  // A different document goes to the PDF view.
  virtual void setDocument(PDFDocumentPtr document);
  virtual const std::shared_ptr<UIActivityIndicatorView>& bufferingIndicator();
  const std::shared_ptr<PDFView>& platformPDFView() const { return pdfView_; }

  std::string className() const override { return "AKPDFView"; }

 protected:
  virtual void setupUI();

 private:
  bool showsURL(const NSURLPtr& url) const;
  void documentOpened(const NSURLPtr& url, PDFDocumentPtr document);

  // Guards url_, written on the main thread and read by the opening queue too.
  mutable Mutex urlMutex_;
  NSURLPtr url_ GUARDED_BY(urlMutex_);
  PDFDocumentPtr document_;
  std::shared_ptr<UIActivityIndicatorView> bufferingIndicator_;
  std::shared_ptr<PDFView> pdfView_;
};

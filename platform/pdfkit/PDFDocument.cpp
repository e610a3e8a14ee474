#include "platform/pdfkit/PDFDocument.h"

#include "platform/foundation/OSLog.h"
#include "platform/pdfkit/PDFDocumentSource.h"

PDFPage::PDFPage(std::weak_ptr<PDFDocument> document, CGPDFPageRef page)
    : document_(std::move(document)), page_(std::move(page)) {}

CGRect PDFPage::boundsForBox(PDFDisplayBox box) const {
  return page_->boxRect(static_cast<CGPDFBox>(box));
}

int64_t PDFPage::rotation() const { return page_->rotationAngle(); }

CGSize PDFPage::displayedSize() const {
  CGRect crop = boundsForBox(kPDFDisplayBoxCropBox);
  if (rotation() % 180 != 0) return CGSizeMake(crop.size.height, crop.size.width);
  return crop.size;
}

CGImageRef PDFPage::imageAtScale(double pixelsPerPoint) const {
  return page_->createImage(pixelsPerPoint);
}

PDFDocument::PDFDocument(CGPDFDocumentRef document, NSURLPtr url)
    : document_(std::move(document)), url_(std::move(url)) {}

std::shared_ptr<PDFDocument> PDFDocument::open(const NSDataPtr& data, NSURLPtr url) {
  if (!data) return nullptr;
  auto pdf = CGPDFDocument::create(std::make_shared<const Bytes>(data->bytes(),
                                                                 data->bytes() + data->length()));
  if (!pdf) {
    NSLog("PDFDocument: " + (url ? url->absoluteString() : std::string("the data")) +
          " is no PDF document that opens without a password");
    return nullptr;
  }
  auto document = std::make_shared<PDFDocument>(pdf, std::move(url));
  // The page count a file states can lie (a page tree that loops, a count
  // of millions): only pages that exist count.
  for (size_t n = 1; n <= pdf->numberOfPages(); ++n) {
    auto page = pdf->page(n);
    if (!page) break;
    document->pages_.push_back(std::make_shared<PDFPage>(document, std::move(page)));
  }
  if (document->pages_.empty()) {
    NSLog("PDFDocument: the document has no pages");
    return nullptr;
  }
  return document;
}

std::shared_ptr<PDFDocument> PDFDocument::initWithURL(const NSURLPtr& url) {
  if (!url) return nullptr;
  return open(PDFDocumentSource::defaultSource()->read(url), url);
}

std::shared_ptr<PDFDocument> PDFDocument::initWithData(const NSDataPtr& data) {
  return open(data, nullptr);
}

PDFPagePtr PDFDocument::pageAtIndex(int64_t index) const {
  if (index < 0 || index >= pageCount()) return nullptr;
  return pages_[size_t(index)];
}

#pragma once

// PDFKit's documents and pages over the Core Graphics PDF reader (poppler).
// A document is opened whole when it is made; a file that is missing, not
// a PDF, or locked by a password gives no document.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/coregraphics/CGPDFDocument.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSURL.h"

enum PDFDisplayBox : int64_t {
  kPDFDisplayBoxMediaBox = 0,
  kPDFDisplayBoxCropBox = 1,
  kPDFDisplayBoxBleedBox = 2,
  kPDFDisplayBoxTrimBox = 3,
  kPDFDisplayBoxArtBox = 4,
};

class PDFDocument;

class PDFPage : public NSObject {
 public:
  PDFPage(std::weak_ptr<PDFDocument> document, CGPDFPageRef page);

  // Null once the document is gone.
  std::shared_ptr<PDFDocument> document() const { return document_.lock(); }
  // The box in the page's own space (points), before rotation.
  CGRect boundsForBox(PDFDisplayBox box) const;
  // Clockwise, a multiple of 90.
  int64_t rotation() const;
  // The crop box's size as shown: width and height swap for a quarter turn.
  CGSize displayedSize() const;
  // The page as shown, opaque on white paper, at `pixelsPerPoint`.
  CGImageRef imageAtScale(double pixelsPerPoint) const;
  const CGPDFPageRef& pageRef() const { return page_; }

  std::string className() const override { return "PDFPage"; }

 private:
  std::weak_ptr<PDFDocument> document_;
  CGPDFPageRef page_;
};

using PDFPagePtr = std::shared_ptr<PDFPage>;

class PDFDocument : public NSObject {
 public:
  // Through the document source (files, http and https); nullptr when the
  // bytes cannot be had or are no document that opens without a password.
  static std::shared_ptr<PDFDocument> initWithURL(const NSURLPtr& url);
  static std::shared_ptr<PDFDocument> initWithData(const NSDataPtr& data);

  // Null for a document made from data.
  const NSURLPtr& documentURL() const { return url_; }
  int64_t pageCount() const { return int64_t(pages_.size()); }
  // Each page is one object for the document's life; nullptr out of range.
  PDFPagePtr pageAtIndex(int64_t index) const;
  const CGPDFDocumentRef& documentRef() const { return document_; }

  std::string className() const override { return "PDFDocument"; }

  PDFDocument(CGPDFDocumentRef document, NSURLPtr url);

 private:
  static std::shared_ptr<PDFDocument> open(const NSDataPtr& data, NSURLPtr url);

  CGPDFDocumentRef document_;
  NSURLPtr url_;
  std::vector<PDFPagePtr> pages_;
};

using PDFDocumentPtr = std::shared_ptr<PDFDocument>;

#pragma once

// Where a PDF document's bytes come from: files, and http(s) addresses
// loaded through the URL session, by default; tests may install a source
// of their own. Called on whatever thread opens the document; it blocks
// that thread until the bytes are in.

#include <memory>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSURL.h"

class PDFDocumentSource {
 public:
  virtual ~PDFDocumentSource() = default;
  // The document's bytes, or nullptr when there are none to be had.
  virtual NSDataPtr read(const NSURLPtr& url) = 0;

  // The source documents opened from now on read; null puts the default back.
  static void setDefaultSource(std::shared_ptr<PDFDocumentSource> source);
  static std::shared_ptr<PDFDocumentSource> defaultSource();
};

// File URLs read from disk; http and https through one URL session of its
// own, which keeps no cache. A remote answer must be a success (2xx), come
// within the request's timeout and hold at most kMaxRemoteBytes.
class PDFURLSessionSource : public PDFDocumentSource {
 public:
  static constexpr size_t kMaxRemoteBytes = 256u << 20;
  NSDataPtr read(const NSURLPtr& url) override;
};

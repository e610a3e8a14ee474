// PDF documents: opened from the bytes, every page's boxes read and the
// first pages rendered small, as a gallery page would show them.
#include <cstddef>
#include <cstdint>

#include "platform/pdfkit/PDFDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto document = PDFDocument::initWithData(NSData::dataWithBytes(Bytes(data, data + size)));
  if (!document) return 0;
  for (int64_t i = 0; i < document->pageCount(); ++i) {
    auto page = document->pageAtIndex(i);
    page->boundsForBox(kPDFDisplayBoxCropBox);
    page->displayedSize();
    if (i < 2) page->imageAtScale(0.1);
  }
  return 0;
}

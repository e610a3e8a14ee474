#include "platform/coregraphics/CGPDFDocument.h"

#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <algorithm>
#include <cmath>

#include "platform/foundation/NSURL.h"
#include "platform/foundation/OSLog.h"

namespace {

// poppler keeps process-wide state (fonts, error callback) that is not safe
// to share between threads; every call into it holds this lock.
std::mutex& popplerMutex() {
  static std::mutex mutex;  // guards every call into poppler
  return mutex;
}

void quietPoppler() {
  static std::once_flag once;
  std::call_once(
      once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

constexpr double kMaxRenderSide = 8192;
constexpr double kMaxRenderPixels = 32.0 * 1024 * 1024;

}  // namespace

CGPDFDocument::CGPDFDocument(std::shared_ptr<const Bytes> bytes, poppler::document* document)
    : bytes_(std::move(bytes)), document_(document) {
  pages_ = static_cast<size_t>(std::max(0, document_->pages()));
}

CGPDFDocument::~CGPDFDocument() {
  std::lock_guard<std::mutex> lock(popplerMutex());
  document_.reset();
}

std::shared_ptr<CGPDFDocument> CGPDFDocument::create(std::shared_ptr<const Bytes> bytes) {
  if (!bytes || bytes->empty() || bytes->size() > INT32_MAX) return nullptr;
  quietPoppler();
  std::lock_guard<std::mutex> lock(popplerMutex());
  poppler::document* doc = poppler::document::load_from_raw_data(
      reinterpret_cast<const char*>(bytes->data()), static_cast<int>(bytes->size()));
  if (!doc) return nullptr;
  if (doc->is_locked() || doc->pages() < 1) {
    delete doc;
    return nullptr;
  }
  return std::make_shared<CGPDFDocument>(std::move(bytes), doc);
}

std::shared_ptr<CGPDFPage> CGPDFDocument::page(size_t number) {
  if (number < 1 || number > pages_) return nullptr;
  auto self = std::static_pointer_cast<CGPDFDocument>(shared_from_this());
  poppler::page* p;
  {
    std::lock_guard<std::mutex> lock(popplerMutex());
    p = document_->create_page(static_cast<int>(number - 1));
  }
  if (!p) return nullptr;
  return std::make_shared<CGPDFPage>(self, number, p);
}

CGPDFPage::CGPDFPage(std::shared_ptr<CGPDFDocument> document, size_t number, poppler::page* page)
    : document_(std::move(document)), number_(number), page_(page) {
  std::lock_guard<std::mutex> lock(popplerMutex());
  switch (page_->orientation()) {
    case poppler::page::landscape:
      rotation_ = 90;
      break;
    case poppler::page::upside_down:
      rotation_ = 180;
      break;
    case poppler::page::seascape:
      rotation_ = 270;
      break;
    default:
      rotation_ = 0;
      break;
  }
}

CGPDFPage::~CGPDFPage() {
  std::lock_guard<std::mutex> lock(popplerMutex());
  page_.reset();
}

CGRect CGPDFPage::boxRect(CGPDFBox box) const {
  static const poppler::page_box_enum boxes[] = {poppler::media_box, poppler::crop_box,
                                                 poppler::bleed_box, poppler::trim_box,
                                                 poppler::art_box};
  if (box < kCGPDFMediaBox || box > kCGPDFArtBox) return CGRectNull;
  std::lock_guard<std::mutex> lock(popplerMutex());
  poppler::rectf r = page_->page_rect(boxes[box]);
  return CGRectStandardize(CGRectMake(r.x(), r.y(), r.width(), r.height()));
}

namespace {

struct Raster {
  poppler::image onWhite, onBlack;
};

// Paper that nothing paints must stay transparent, but poppler always fills
// it; rendering on white and on black recovers each pixel's coverage: a pixel
// of colour C and alpha a reads a·C on black and a·C + (1 − a) on white.
std::shared_ptr<Bytes> combine(const poppler::image& white, const poppler::image& black) {
  int w = black.width(), h = black.height();
  auto out = std::make_shared<Bytes>(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y) {
    auto* pw = reinterpret_cast<const uint8_t*>(white.const_data()) + y * white.bytes_per_row();
    auto* pb = reinterpret_cast<const uint8_t*>(black.const_data()) + y * black.bytes_per_row();
    uint8_t* o = out->data() + static_cast<size_t>(y) * w * 4;
    for (int x = 0; x < w; ++x, pw += 4, pb += 4, o += 4) {
      int gap = std::max({pw[0] - pb[0], pw[1] - pb[1], pw[2] - pb[2], 0});
      uint8_t a = static_cast<uint8_t>(255 - gap);
      o[0] = std::min(pb[0], a), o[1] = std::min(pb[1], a), o[2] = std::min(pb[2], a), o[3] = a;
    }
  }
  return out;
}

}  // namespace

void CGPDFPage::drawInContext(CGContext& context) const {
  CGRect crop = boxRect(kCGPDFCropBox);
  if (CGRectIsEmpty(crop)) return;
  CGAffineTransform m = context.ctm();
  double scale = std::max(std::hypot(m.a, m.b), std::hypot(m.c, m.d));
  if (!(scale > 0) || !std::isfinite(scale)) return;
  double side = std::max(crop.size.width, crop.size.height) * scale;
  if (side > kMaxRenderSide) scale *= kMaxRenderSide / side;
  double pixels = crop.size.width * crop.size.height * scale * scale;
  if (pixels > kMaxRenderPixels) scale *= std::sqrt(kMaxRenderPixels / pixels);
  // Undo the page's own rotation: the context's transform places the page.
  auto undo = static_cast<poppler::rotation_enum>(((360 - rotation_) / 90) % 4);
  std::shared_ptr<Bytes> pixels8;
  int w = 0, h = 0;
  {
    std::lock_guard<std::mutex> lock(popplerMutex());
    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
    renderer.set_image_format(poppler::image::format_argb32);
    renderer.set_paper_color(0xffffffff);
    poppler::image white =
        renderer.render_page(page_.get(), 72 * scale, 72 * scale, -1, -1, -1, -1, undo);
    renderer.set_paper_color(0xff000000);
    poppler::image black =
        renderer.render_page(page_.get(), 72 * scale, 72 * scale, -1, -1, -1, -1, undo);
    if (!white.is_valid() || !black.is_valid() || white.width() != black.width() ||
        white.height() != black.height()) {
      NSLog("CGContextDrawPDFPage: the page could not be rendered");
      return;
    }
    w = black.width(), h = black.height();
    pixels8 = combine(white, black);
  }
  auto image = CGImage::create(w, h, 8, 32, static_cast<size_t>(w) * 4,
                               kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little,
                               std::move(pixels8));
  if (!image) return;
  context.saveGState();
  context.clipToRect(crop);
  context.drawImage(crop, *image);
  context.restoreGState();
}

CGImageRef CGPDFPage::createImage(double pixelsPerPoint) const {
  CGRect crop = boxRect(kCGPDFCropBox);
  double scale = pixelsPerPoint;
  if (CGRectIsEmpty(crop) || !(scale > 0) || !std::isfinite(scale)) return nullptr;
  double side = std::max(crop.size.width, crop.size.height) * scale;
  if (side > kMaxRenderSide) scale *= kMaxRenderSide / side;
  double pixels = crop.size.width * crop.size.height * scale * scale;
  if (pixels > kMaxRenderPixels) scale *= std::sqrt(kMaxRenderPixels / pixels);
  std::shared_ptr<Bytes> bytes;
  int w = 0, h = 0;
  {
    std::lock_guard<std::mutex> lock(popplerMutex());
    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
    renderer.set_image_format(poppler::image::format_argb32);
    renderer.set_paper_color(0xffffffff);
    poppler::image image = renderer.render_page(page_.get(), 72 * scale, 72 * scale);
    if (!image.is_valid() || image.width() < 1 || image.height() < 1) return nullptr;
    w = image.width(), h = image.height();
    const size_t row = static_cast<size_t>(w) * 4;
    const size_t stride = static_cast<size_t>(image.bytes_per_row());
    const auto* source = reinterpret_cast<const uint8_t*>(image.const_data());
    // One pass over the pixels: copied as the buffer is made, not zeroed first.
    if (stride == row) {
      bytes = std::make_shared<Bytes>(source, source + row * h);
    } else {
      bytes = std::make_shared<Bytes>();
      bytes->reserve(row * h);
      for (int y = 0; y < h; ++y) {
        bytes->insert(bytes->end(), source + stride * y, source + stride * y + row);
      }
    }
  }
  return CGImage::create(w, h, 8, 32, static_cast<size_t>(w) * 4,
                         kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little, std::move(bytes));
}

CGPDFDocumentRef CGPDFDocumentCreateWithProvider(const CGDataProviderRef& provider) {
  if (!provider) return nullptr;
  return CGPDFDocument::create(provider->copyData());
}

CGPDFDocumentRef CGPDFDocumentCreateWithURL(const std::string& url) {
  std::string path = url;
  if (url.rfind("file:", 0) == 0) {
    auto parsed = NSURL::URLWithString(url);
    if (!parsed || !parsed->isFileURL()) return nullptr;
    path = parsed->path();
  }
  Bytes bytes;
  if (!ReadFileContents(path, bytes)) return nullptr;
  return CGPDFDocument::create(std::make_shared<const Bytes>(std::move(bytes)));
}

size_t CGPDFDocumentGetNumberOfPages(const CGPDFDocumentRef& document) {
  return document ? document->numberOfPages() : 0;
}

CGPDFPageRef CGPDFDocumentGetPage(const CGPDFDocumentRef& document, size_t pageNumber) {
  return document ? document->page(pageNumber) : nullptr;
}

CGPDFDocumentRef CGPDFPageGetDocument(const CGPDFPageRef& page) {
  return page ? page->document() : nullptr;
}

size_t CGPDFPageGetPageNumber(const CGPDFPageRef& page) { return page ? page->pageNumber() : 0; }

CGRect CGPDFPageGetBoxRect(const CGPDFPageRef& page, CGPDFBox box) {
  return page ? page->boxRect(box) : CGRectNull;
}

int CGPDFPageGetRotationAngle(const CGPDFPageRef& page) { return page ? page->rotationAngle() : 0; }

CGAffineTransform CGPDFPageGetDrawingTransform(const CGPDFPageRef& page, CGPDFBox box, CGRect rect,
                                               int rotate, bool preserveAspectRatio) {
  if (!page) return CGAffineTransformIdentity;
  CGRect b = page->boxRect(box);
  if (CGRectIsEmpty(b) || CGRectIsNull(rect)) return CGAffineTransformIdentity;
  CGRect r = CGRectStandardize(rect);
  int angle = rotate % 90 == 0 ? rotate : 0;
  angle = ((page->rotationAngle() + angle) % 360 + 360) % 360;
  bool quarter = angle == 90 || angle == 270;
  double bw = quarter ? b.size.height : b.size.width;
  double bh = quarter ? b.size.width : b.size.height;
  double sx = std::min(1.0, r.size.width / bw), sy = std::min(1.0, r.size.height / bh);
  if (preserveAspectRatio) sx = sy = std::min(sx, sy);
  // Box centre to the origin, turn clockwise by the angle, shrink, then to the
  // rectangle's centre.
  CGAffineTransform t = CGAffineTransformMakeTranslation(-CGRectGetMidX(b), -CGRectGetMidY(b));
  t = CGAffineTransformConcat(t, CGAffineTransformMakeRotation(-angle * M_PI / 180));
  t = CGAffineTransformConcat(t, CGAffineTransformMakeScale(sx, sy));
  return CGAffineTransformConcat(
      t, CGAffineTransformMakeTranslation(CGRectGetMidX(r), CGRectGetMidY(r)));
}

void CGContextDrawPDFPage(const CGContextRef& context, const CGPDFPageRef& page) {
  if (context && page) page->drawInContext(*context);
}

#pragma once

// PDF documents and pages, read and rasterised by poppler. A page draws into
// a context at the resolution the context's transform asks for, unrotated,
// in the page's own coordinate space (points, origin bottom-left), clipped to
// its crop box; paper that the page does not paint stays transparent.
//
// What a page may declare is bounded before it costs anything: it renders at
// most kCGPDFMaxRenderSide pixels a side and kCGPDFMaxRenderPixels in all
// (coarser when its size and the resolution ask for more), and its images may
// declare at most kCGPDFMaxImagePixels between them (poppler decodes every
// pixel an image declares, whatever size it is drawn at); images past that
// are left out. What a page costs to draw is bounded too, however deeply
// its forms nest: a render reads at most kCGPDFMaxContentBytes of content
// (the page's own and that of the forms, patterns and glyphs it draws, each
// time it draws them) in at most kCGPDFMaxContentReadings readings,
// kCGPDFMaxFontBytes of embedded fonts and kCGPDFMaxMeshVertices of mesh
// shadings; paints at most kCGPDFMaxImagePixels pixels (its fills',
// strokes' and mesh triangles' boxes, and the surfaces of its transparency
// groups and soft masks as they are made and composited) and
// kCGPDFMaxMeshPieces pieces of meshes; sets at most kCGPDFMaxClipRows rows
// of clip paths; holds at most kCGPDFMaxGroupPixels of group surfaces and
// kCGPDFMaxSaveDepth saved graphics states at once, and its saves copy at
// most kCGPDFMaxSavedEntries dash entries and clip paths in all. A page that
// asks for more, or whose render runs out of memory, is not rendered at all,
// nor again at a scale where it would cost as much. Pages render in a child
// process that the operating system bounds (CGPDFRenderChild.h): one past
// its limits is refused the same way, at every scale. Rendering is slow
// work: callers keep it off the main thread.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGDataProvider.h"
#include "platform/foundation/Mutex.h"

class PDFDoc;
class CGPDFRenderChild;
struct CGPDFRenderAnswer;

inline constexpr double kCGPDFMaxRenderSide = 8192;
inline constexpr double kCGPDFMaxRenderPixels = 32.0 * 1024 * 1024;
inline constexpr double kCGPDFMaxImagePixels = 256.0 * 1024 * 1024;
// About a second of poppler's work on the cheapest operators; real pages
// read far less.
inline constexpr double kCGPDFMaxContentBytes = 8.0 * 1024 * 1024;
// What a render may read of embedded font files, each time poppler reads
// one (it holds each whole, and reads a TrueType file twice): room for a
// few complete CJK fonts; subsets are far smaller.
inline constexpr double kCGPDFMaxFontBytes = 64.0 * 1024 * 1024;
// Graphics states saved at once (each a copy of the whole state, some
// kilobytes): real pages nest a few dozen.
inline constexpr double kCGPDFMaxSaveDepth = 1024;
// Dash entries and clip paths that a render's saves copy in all (each save
// copies the current ones, some 16 bytes an entry): real states hold a
// handful.
inline constexpr double kCGPDFMaxSavedEntries = 2.0 * 1024 * 1024;
// Content streams a render may read, each time it reads one (the page's
// own, and a form, pattern cell or Type 3 glyph each time it is drawn):
// each costs poppler up to some microseconds beyond its bytes, so the
// readings take well under a second; real pages read a handful.
inline constexpr double kCGPDFMaxContentReadings = 128.0 * 1024;
// Rows of clip paths a render may set: each clip path the rasteriser keeps
// (any but a rectangle on the pixel grid) holds a row for each pixel row its
// box spans within the clip, and entries for the rows each segment crosses
// (a glyph's outline, for text set as a clip): some 130 bytes a row as it
// antialiases, 70 MB in all. Real pages set a few thousand rows.
inline constexpr double kCGPDFMaxClipRows = 512.0 * 1024;
// Pixels the surfaces of transparency groups nested in each other may hold
// at once, five bytes each: two pages at the largest render size, or some
// three dozen at a phone screen's.
inline constexpr double kCGPDFMaxGroupPixels = 2 * kCGPDFMaxRenderPixels;
// Vertices of mesh shadings a render may read, each time it draws one: a
// vertex of a triangle mesh counts one, a patch sixteen (its control
// points). poppler holds each mesh whole, some 150 bytes a vertex, and
// paints it triangle by triangle.
inline constexpr double kCGPDFMaxMeshVertices = 128.0 * 1024;
// Pieces mesh shadings may paint in one render: each triangle the
// rasteriser shades, each part of a triangle or patch poppler fills itself
// (about a microsecond each, however small).
inline constexpr double kCGPDFMaxMeshPieces = 1024.0 * 1024;

enum CGPDFBox : int32_t {
  kCGPDFMediaBox = 0,
  kCGPDFCropBox = 1,
  kCGPDFBleedBox = 2,
  kCGPDFTrimBox = 3,
  kCGPDFArtBox = 4,
};

class CGPDFPage;

// What rendering a page has cost: how many renders poppler made of it, and
// the most any of them spent against each budget.
struct CGPDFRenderCost {
  size_t renders = 0;
  double contentBytes = 0, fontBytes = 0, paintedPixels = 0, meshVertices = 0, meshPieces = 0;
  double saveDepth = 0, savedEntries = 0;
  double contentReadings = 0, clipRows = 0, groupPixels = 0;
};

// A page's pixels: `height` rows of `width` 32-bit BGRA pixels, tightly
// packed, copied once from the memory the renderer wrote them into.
struct CGPDFPixels {
  std::shared_ptr<Bytes> data;
  int width = 0, height = 0;
};

class CGPDFDocument : public NSObject {
 public:
  // nullptr for bytes that are not a readable, unlocked PDF.
  static std::shared_ptr<CGPDFDocument> create(std::shared_ptr<const Bytes> bytes);
  ~CGPDFDocument() override;

  size_t numberOfPages() const { return pages_; }
  // Pages count from 1; nullptr outside 1...numberOfPages.
  std::shared_ptr<CGPDFPage> page(size_t number);

  std::string className() const override { return "CGPDFDocument"; }

  CGPDFDocument(std::shared_ptr<const Bytes> bytes, std::unique_ptr<PDFDoc> document);

 private:
  friend class CGPDFPage;
  std::shared_ptr<const Bytes> bytes_;  // poppler reads from these without copying
  std::unique_ptr<PDFDoc> document_;
  size_t pages_ = 0;
  // Its pages' renderer, made at the first render.
  std::unique_ptr<CGPDFRenderChild> child_ GUARDED_BY(childMutex_);
  Mutex childMutex_;  // guards child_
  CGPDFRenderChild& child() EXCLUDES(childMutex_);
};

class CGPDFPage : public NSObject {
 public:
  CGPDFPage(std::shared_ptr<CGPDFDocument> document, size_t number, int rotation);

  size_t pageNumber() const { return number_; }
  const std::shared_ptr<CGPDFDocument>& document() const { return document_; }
  // Boxes missing from the file fall back as the format says: crop to media,
  // bleed, trim and art to crop.
  CGRect boxRect(CGPDFBox box) const;
  // Clockwise display rotation, a multiple of 90 in 0...270.
  int rotationAngle() const { return rotation_; }
  void drawInContext(CGContext& context) const;
  // The crop box as it is shown (turned by the page's rotation) on white
  // paper, opaque, at `pixelsPerPoint`; within the same size limits as
  // drawing. nullptr when the page cannot be rendered or costs more than
  // the limits above.
  CGImageRef createImage(double pixelsPerPoint) const;
  CGPDFRenderCost renderCost() const;

  std::string className() const override { return "CGPDFPage"; }

 private:
  friend int CGPDFRendererMain(int, char**);
  // The page rendered at `dpi` turned by `rotate` degrees on top of its own
  // rotation, on paper of `paper` (0xRRGGBB), as 32-bit BGRA rows, by the
  // document's renderer; no pixels when it cannot be rendered.
  using Raster = CGPDFPixels;
  Raster render(double dpi, int rotate, uint32_t paper) const EXCLUDES(mutex_);
  // In the renderer: the render itself, within its budget, its pixels
  // written into a sealed memfd that `pixels` receives (-1 for none).
  CGPDFRenderAnswer renderHere(double dpi, int rotate, uint32_t paper, int& pixels) const;
  // The drawing itself, within the render's budget, into memory of the
  // renderer's; `leftOut` tells whether images were left out.
  int rasterise(double dpi, int rotate, uint32_t paper, bool& leftOut, int& width,
                int& height) const;
  // The raster's pixels as an image of `alpha`; null when memory runs out.
  CGImageRef imageOf(Raster& raster, CGImageAlphaInfo alpha) const;

  std::shared_ptr<CGPDFDocument> document_;
  size_t number_;
  int rotation_;
  // In the renderer: whether its content streams read through the render
  // budget yet; set with poppler's lock held.
  mutable bool contentWrapped_ = false;
  mutable Mutex mutex_;  // guards what its renders have told
  // The lowest resolution (dots per inch) it was given up at.
  mutable std::optional<double> givenUpAt_ GUARDED_BY(mutex_);
  mutable CGPDFRenderCost cost_ GUARDED_BY(mutex_);
};

using CGPDFDocumentRef = std::shared_ptr<CGPDFDocument>;
using CGPDFPageRef = std::shared_ptr<CGPDFPage>;

CGPDFDocumentRef CGPDFDocumentCreateWithProvider(const CGDataProviderRef& provider);
// A file URL ("file:///...") or a plain path.
CGPDFDocumentRef CGPDFDocumentCreateWithURL(const std::string& url);
size_t CGPDFDocumentGetNumberOfPages(const CGPDFDocumentRef& document);
CGPDFPageRef CGPDFDocumentGetPage(const CGPDFDocumentRef& document, size_t pageNumber);
CGPDFDocumentRef CGPDFPageGetDocument(const CGPDFPageRef& page);
size_t CGPDFPageGetPageNumber(const CGPDFPageRef& page);
CGRect CGPDFPageGetBoxRect(const CGPDFPageRef& page, CGPDFBox box);
int CGPDFPageGetRotationAngle(const CGPDFPageRef& page);
// Maps the box into rect: turned by the page's rotation plus `rotate` (a
// multiple of 90; others count as 0), centred, and shrunk to fit (uniformly
// when preserveAspectRatio) but never enlarged.
CGAffineTransform CGPDFPageGetDrawingTransform(const CGPDFPageRef& page, CGPDFBox box, CGRect rect,
                                               int rotate, bool preserveAspectRatio);
void CGContextDrawPDFPage(const CGContextRef& context, const CGPDFPageRef& page);

#include "platform/coregraphics/CGPDFDocument.h"

#include <unistd.h>

#include <poppler/GfxState.h>
#include <poppler/GlobalParams.h>
#include <poppler/PDFDoc.h>
#include <poppler/Page.h>
#include <poppler/SplashOutputDev.h>
#include <poppler/Stream.h>
#include <poppler/splash/Splash.h>
#include <poppler/splash/SplashBitmap.h>
#include <poppler/splash/SplashClip.h>
#include <poppler/splash/SplashFont.h>
#include <poppler/splash/SplashPath.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <set>
#include <vector>

#include "platform/coregraphics/CGPDFRenderChild.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/OSLog.h"

namespace {

// poppler keeps process-wide state (its global parameters, fonts, error
// callback) that is not safe to share between threads; every call into it
// holds this lock.
Mutex& popplerMutex() {
  static Mutex mutex;  // guards every call into poppler
  return mutex;
}

// The global parameters are made again if someone else's use of poppler (its
// C++ wrapper's last document) dropped them.
void preparePoppler() REQUIRES(popplerMutex()) {
  if (!globalParams) globalParams = std::make_unique<GlobalParams>();
  static bool quiet = false;
  if (!quiet) {
    setErrorCallback([](ErrorCategory, Goffset, const char*) {});
    quiet = true;
  }
}

// What one render may still spend: content streams and bytes of content
// read (the page's own, and its forms', patterns' and glyphs' each time they
// are drawn), bytes of fonts read, vertices of mesh shadings read and pieces
// painted, pixels painted (group and mask surfaces included), rows of clip
// paths set, dash entries and clip paths its saved graphics states copy;
// and how deep those go, and how many pixels its group surfaces hold at
// once. Once any runs out the page is given up.
struct RenderBudget {
  size_t contentReadings = size_t(kCGPDFMaxContentReadings);
  size_t contentBytes = size_t(kCGPDFMaxContentBytes);
  size_t fontBytes = size_t(kCGPDFMaxFontBytes);
  size_t meshVertices = size_t(kCGPDFMaxMeshVertices);
  size_t meshPieces = size_t(kCGPDFMaxMeshPieces);
  double paintedPixels = kCGPDFMaxImagePixels;
  size_t savedEntries = size_t(kCGPDFMaxSavedEntries);
  double clipRows = kCGPDFMaxClipRows;
  double groupPixels = 0;  // of the group surfaces alive now
  double mostGroupPixels = 0;
  size_t saveDepth = 0;
  size_t deepestSave = 0;
  bool exhausted = false;
  bool paintSpent = false;  // it was the pixels that ran out (they grow with the scale)
};

// The budget of the render under way; null when none is. Set and read only
// with popplerMutex() held (every read comes from poppler, during a render).
RenderBudget* gRenderBudget = nullptr;

// A stream read through the render's budget: once the budget is spent it
// ends, so poppler stops drawing whatever is left of the page (a stream
// inflating to a gigabyte of operators, a form drawn a million times, a
// font inflating to a gigabyte, a mesh of millions of triangles) and the
// render returns soon.
// How a stream's bits count against its budget: every `bits` of them hold
// one element, which costs `weight` (a byte costs one for content and
// fonts; a mesh's elements are its vertices or patches).
struct StreamLayout {
  uint64_t bits = 8;
  size_t weight = 1;
};

class BudgetStream : public Stream {
 public:
  enum class Kind { Content, Font, Mesh };
  using Layout = StreamLayout;
  BudgetStream(Object inner, Kind kind, Layout layout = {})
      : inner_(std::move(inner)), str_(inner_.getStream()), kind_(kind), layout_(layout) {}

  StreamKind getKind() const override { return str_->getKind(); }
  void reset() override {
    bits_ = 0;  // a new reading, paid for anew
    // Drawing a form, a pattern cell or a glyph costs poppler some
    // microseconds beyond its bytes (a saved state, its resources set up):
    // each reading counts as well.
    if (RenderBudget* budget = gRenderBudget; budget && kind_ == Kind::Content) {
      if (budget->contentReadings == 0) budget->exhausted = true;
      if (budget->exhausted) return;
      --budget->contentReadings;
    }
    str_->reset();
  }
  void close() override { str_->close(); }
  int getChar() override {
    if (take(1) != 1) return endOfBudget();
    const int c = str_->getChar();
    if (c == EOF) giveBack(1);  // nothing was read
    return c;
  }
  int lookChar() override {
    return gRenderBudget && gRenderBudget->exhausted ? EOF : str_->lookChar();
  }
  int getUnfilteredChar() override { return str_->getUnfilteredChar(); }
  void unfilteredReset() override { str_->unfilteredReset(); }
  Goffset getPos() override { return str_->getPos(); }
  void setPos(Goffset pos, int dir) override { str_->setPos(pos, dir); }
  bool isBinary(bool last) const override { return str_->isBinary(last); }
  BaseStream* getBaseStream() override { return str_->getBaseStream(); }
  Stream* getUndecodedStream() override { return str_->getUndecodedStream(); }
  Dict* getDict() override { return str_->getDict(); }
  Object* getDictObject() override { return str_->getDictObject(); }
  Stream* getNextStream() const override { return str_; }

 private:
  bool hasGetChars() override { return true; }
  int getChars(int count, unsigned char* buffer) override {
    const int allowed = take(count);
    const int read = allowed > 0 ? str_->doGetChars(allowed, buffer) : 0;
    // What was allowed but not there (the stream's end) is given back.
    giveBack(allowed - read);
    if (read == allowed && allowed < count) endOfBudget();
    return read;
  }
  size_t& left(RenderBudget& budget) const {
    return kind_ == Kind::Font   ? budget.fontBytes
           : kind_ == Kind::Mesh ? budget.meshVertices
                                 : budget.contentBytes;
  }
  // What the first `bits` of a reading cost: its whole elements.
  size_t cost(uint64_t bits) const { return size_t(bits / layout_.bits) * layout_.weight; }
  // Takes up to `wanted` bytes from the budget: how many may be read, so
  // that the elements they complete cost no more than is left.
  int take(int wanted) {
    RenderBudget* budget = gRenderBudget;
    if (!budget) return wanted;
    if (budget->exhausted || wanted <= 0) return 0;
    size_t& units = left(*budget);
    const uint64_t affordable = bits_ / layout_.bits + units / layout_.weight;
    const uint64_t bytes = ((affordable + 1) * layout_.bits - 1 - bits_) / 8;
    const int allowed = int(std::min<uint64_t>(bytes, uint64_t(wanted)));
    const size_t before = cost(bits_);
    bits_ += uint64_t(allowed) * 8;
    units -= cost(bits_) - before;
    return allowed;
  }
  void giveBack(int bytes) {
    if (bytes <= 0 || !gRenderBudget) return;
    const size_t before = cost(bits_);
    bits_ -= std::min(bits_, uint64_t(bytes) * 8);
    left(*gRenderBudget) += before - cost(bits_);
  }
  // The budget let no more be read. A stream that ends exactly where the
  // budget does was read whole; only one with more spends the budget.
  int endOfBudget() {
    RenderBudget* budget = gRenderBudget;
    if (budget && !budget->exhausted && str_->lookChar() != EOF) budget->exhausted = true;
    return EOF;
  }

  Object inner_;
  Stream* str_;
  const Kind kind_;
  const Layout layout_;
  uint64_t bits_ = 0;  // read since the last reset, all paid for
};

bool IsName(const Object& object, const char* name) {
  return object.isName() && std::strcmp(object.getName(), name) == 0;
}

// How many colour components a shading's colour space has; one when it
// cannot tell, so that the mesh counts at its most vertices.
int ColourComponents(const Object& space) {
  Object family = space.isArray() && space.arrayGetLength() > 0 ? space.arrayGet(0) : space.copy();
  for (const char* name : {"DeviceRGB", "RGB", "CalRGB", "Lab"}) {
    if (IsName(family, name)) return 3;
  }
  if (IsName(family, "DeviceCMYK") || IsName(family, "CMYK")) return 4;
  if (!space.isArray() || space.arrayGetLength() < 2) return 1;
  if (IsName(family, "ICCBased")) {
    Object profile = space.arrayGet(1);
    Object n = profile.isStream() ? profile.streamGetDict()->lookup("N") : Object(objNull);
    if (n.isInt() && n.getInt() > 0) return std::min(n.getInt(), int(gfxColorMaxComps));
  }
  if (IsName(family, "DeviceN")) {
    Object names = space.arrayGet(1);
    if (names.isArray() && names.arrayGetLength() > 0) {
      return std::min(names.arrayGetLength(), int(gfxColorMaxComps));
    }
  }
  return 1;
}

// How a mesh shading's data counts against the mesh budget: every vertex
// of a triangle mesh, and sixteen per patch of a patch mesh (its control
// points), each counted at the fewest bits it can take, so that data cannot
// hold more than it pays for. Nothing for other shadings.
std::optional<BudgetStream::Layout> MeshLayout(Dict& shading) {
  Object type = shading.lookup("ShadingType");
  if (!type.isInt() || type.getInt() < 4 || type.getInt() > 7) return std::nullopt;
  auto bits = [&shading](const char* key) {
    Object value = shading.lookup(key);
    return value.isInt() ? uint64_t(std::clamp(value.getInt(), 1, 32)) : uint64_t(1);
  };
  const uint64_t coordinate = bits("BitsPerCoordinate"), component = bits("BitsPerComponent");
  const uint64_t colours = shading.lookup("Function").isNull()
                               ? uint64_t(ColourComponents(shading.lookup("ColorSpace")))
                               : 1;
  const uint64_t colour = colours * component;
  switch (type.getInt()) {
    case 4:
      return BudgetStream::Layout{bits("BitsPerFlag") + 2 * coordinate + colour, 1};
    case 5:
      return BudgetStream::Layout{2 * coordinate + colour, 1};
    default: {
      // A patch that continues the one before shares an edge with it: 8 new
      // points of a Coons patch, 12 of a tensor-product one, 2 colours.
      const uint64_t points = type.getInt() == 6 ? 8 : 12;
      return BudgetStream::Layout{bits("BitsPerFlag") + points * 2 * coordinate + 2 * colour, 16};
    }
  }
}

// Puts every content stream a page draws (its contents, and the forms,
// tiling patterns, Type 3 glyphs and annotation appearances reachable from
// it, however deep), its embedded font files and its mesh shadings behind a
// BudgetStream, in the document's cross-reference table, once. A form
// nested past any depth would otherwise cost nothing, and one drawn twice by
// each form above it costs twice per level. The walk keeps a list rather
// than recursing, so a chain of forms as long as the file allows does not
// run out of stack, and visits each object once, so that resources shared
// or referring to each other cost the walk one visit.
class ContentWrapper {
 public:
  explicit ContentWrapper(XRef* xref) : xref_(xref) {}

  void wrapPage(Page* page) {
    Object dict = xref_->fetch(page->getRef());
    if (!dict.isDict()) return;
    const Object& contents = dict.dictLookupNF("Contents");
    if (contents.isRef()) wrap(contents, false);
    Object parts = dict.dictLookup("Contents");
    if (parts.isArray()) {
      for (int i = 0; i < parts.arrayGetLength(); ++i) wrap(parts.arrayGetNF(i), false);
    }
    if (Object* resources = page->getResourceDictObject(); resources && resources->isDict()) {
      pending_.push_back(resources->copy());
    }
    Object annots = dict.dictLookup("Annots");
    for (int i = 0; annots.isArray() && i < annots.arrayGetLength(); ++i) {
      Object annot = annots.arrayGet(i);
      if (!annot.isDict()) continue;
      Object appearances = annot.dictLookup("AP");
      if (!appearances.isDict()) continue;
      for (const char* kind : {"N", "R", "D"}) {
        const Object& one = appearances.dictLookupNF(kind);
        if (one.isRef()) wrap(one, true);
        Object states = appearances.dictLookup(kind);
        for (int j = 0; states.isDict() && j < states.dictGetLength(); ++j) {
          wrap(states.dictGetValNF(j), true);
        }
      }
    }
    while (!pending_.empty()) {
      Object resources = std::move(pending_.back());
      pending_.pop_back();
      walkResources(resources);
    }
  }

 private:
  // The object `value` is or refers to; null when it refers to one walked
  // already.
  Object once(const Object& value) {
    if (!value.isRef()) return value.copy();
    if (!seen_.insert(value.getRef().num).second) return Object(objNull);
    return xref_->fetch(value.getRef());
  }

  // Wraps the stream `ref` names; `withResources` walks its own resources.
  void wrap(const Object& ref, bool withResources,
            BudgetStream::Kind kind = BudgetStream::Kind::Content,
            BudgetStream::Layout layout = {}) {
    if (!ref.isRef()) return;
    Object stream = once(ref);
    if (!stream.isStream()) return;
    const Object& resources = stream.streamGetDict()->lookupNF("Resources");
    if (withResources) queueResources(resources);
    if (kind == BudgetStream::Kind::Mesh) {
      const std::optional<BudgetStream::Layout> mesh = MeshLayout(*stream.streamGetDict());
      if (!mesh) return;  // not a mesh: poppler reads none of its data
      layout = *mesh;
    }
    if (!dynamic_cast<BudgetStream*>(stream.getStream())) {
      Object wrapped(static_cast<Stream*>(new BudgetStream(std::move(stream), kind, layout)));
      xref_->setModifiedObject(&wrapped, ref.getRef());
    }
  }

  void queueResources(const Object& resources) {
    Object dict = once(resources);
    if (dict.isDict()) pending_.push_back(std::move(dict));
  }

  // The font's embedded font file, and its descendant's for a composite font.
  void wrapFontFiles(const Object& font, int depth = 0) {
    if (!font.isDict() || depth > 1) return;
    Object descriptor = font.dictLookup("FontDescriptor");
    for (const char* key : {"FontFile", "FontFile2", "FontFile3"}) {
      if (descriptor.isDict()) wrap(descriptor.dictLookupNF(key), false, BudgetStream::Kind::Font);
    }
    Object descendants = font.dictLookup("DescendantFonts");
    for (int i = 0; descendants.isArray() && i < descendants.arrayGetLength(); ++i) {
      wrapFontFiles(descendants.arrayGet(i), depth + 1);
    }
  }

  void walkResources(const Object& resources) {
    Object xobjects = resources.dictLookup("XObject");
    for (int i = 0; xobjects.isDict() && i < xobjects.dictGetLength(); ++i) {
      Object xobject = xobjects.dictGetVal(i);
      if (xobject.isStream() && IsName(xobject.streamGetDict()->lookup("Subtype"), "Form")) {
        wrap(xobjects.dictGetValNF(i), true);
      }
    }
    Object patterns = resources.dictLookup("Pattern");
    for (int i = 0; patterns.isDict() && i < patterns.dictGetLength(); ++i) {
      Object pattern = patterns.dictGetVal(i);
      if (pattern.isStream()) wrap(patterns.dictGetValNF(i), true);  // tiling patterns
      if (pattern.isDict()) {
        wrap(pattern.dictLookupNF("Shading"), false, BudgetStream::Kind::Mesh);
      }
    }
    Object shadings = resources.dictLookup("Shading");
    for (int i = 0; shadings.isDict() && i < shadings.dictGetLength(); ++i) {
      wrap(shadings.dictGetValNF(i), false, BudgetStream::Kind::Mesh);
    }
    Object fonts = resources.dictLookup("Font");
    for (int i = 0; fonts.isDict() && i < fonts.dictGetLength(); ++i) {
      Object font = once(fonts.dictGetValNF(i));
      wrapFontFiles(font);
      if (!font.isDict() || !IsName(font.dictLookup("Subtype"), "Type3")) continue;
      Object glyphs = font.dictLookup("CharProcs");
      for (int j = 0; glyphs.isDict() && j < glyphs.dictGetLength(); ++j) {
        wrap(glyphs.dictGetValNF(j), false);
      }
      queueResources(font.dictLookupNF("Resources"));
    }
    Object states = resources.dictLookup("ExtGState");
    for (int i = 0; states.isDict() && i < states.dictGetLength(); ++i) {
      Object state = states.dictGetVal(i);
      Object mask = state.isDict() ? state.dictLookup("SMask") : Object(objNull);
      if (mask.isDict()) wrap(mask.dictLookupNF("G"), true);
    }
  }

  XRef* xref_;
  std::set<int> seen_;
  std::vector<Object> pending_;  // resource dictionaries still to walk
};

// Renders a page, leaving out images once those drawn have declared
// kCGPDFMaxImagePixels between them: poppler decodes every pixel an image
// declares whatever size it is drawn at, so a few bytes claiming 200,000 by
// 200,000 pixels would keep it busy for minutes.
class BoundedOutputDev : public SplashOutputDev {
 public:
  using SplashOutputDev::SplashOutputDev;

  void drawImageMask(GfxState* state, Object* ref, Stream* str, int width, int height, bool invert,
                     bool interpolate, bool inlineImg) override {
    if (take(width, height)) {
      SplashOutputDev::drawImageMask(state, ref, str, width, height, invert, interpolate,
                                     inlineImg);
    }
  }
  void setSoftMaskFromImageMask(GfxState* state, Object* ref, Stream* str, int width, int height,
                                bool invert, bool inlineImg, double* baseMatrix) override {
    const bool taken = take(width, height);
    maskTaken_.push_back(taken);
    if (taken) {
      SplashOutputDev::setSoftMaskFromImageMask(state, ref, str, width, height, invert, inlineImg,
                                                baseMatrix);
    }
  }
  void unsetSoftMaskFromImageMask(GfxState* state, double* baseMatrix) override {
    const bool taken = maskTaken_.empty() || maskTaken_.back();
    if (!maskTaken_.empty()) maskTaken_.pop_back();
    if (taken) SplashOutputDev::unsetSoftMaskFromImageMask(state, baseMatrix);
  }
  void drawImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                 GfxImageColorMap* colorMap, bool interpolate, const int* maskColors,
                 bool inlineImg) override {
    if (take(width, height)) {
      SplashOutputDev::drawImage(state, ref, str, width, height, colorMap, interpolate, maskColors,
                                 inlineImg);
    }
  }
  void drawMaskedImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                       GfxImageColorMap* colorMap, bool interpolate, Stream* maskStr, int maskWidth,
                       int maskHeight, bool maskInvert, bool maskInterpolate) override {
    if (take(width, height) && take(maskWidth, maskHeight)) {
      SplashOutputDev::drawMaskedImage(state, ref, str, width, height, colorMap, interpolate,
                                       maskStr, maskWidth, maskHeight, maskInvert, maskInterpolate);
    }
  }
  void drawSoftMaskedImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                           GfxImageColorMap* colorMap, bool interpolate, Stream* maskStr,
                           int maskWidth, int maskHeight, GfxImageColorMap* maskColorMap,
                           bool maskInterpolate) override {
    if (take(width, height) && take(maskWidth, maskHeight)) {
      SplashOutputDev::drawSoftMaskedImage(state, ref, str, width, height, colorMap, interpolate,
                                           maskStr, maskWidth, maskHeight, maskColorMap,
                                           maskInterpolate);
    }
  }

  // Painting costs the pixels it may cover, charged to the render's budget:
  // its path's box on the page, a glyph's square, the clip's box for a
  // shading.
  void stroke(GfxState* state) override {
    if (paint(PathBox(state, state->getTransformedLineWidth()))) {
      SplashOutputDev::stroke(state);
    }
  }
  void fill(GfxState* state) override {
    if (meshFill() && paint(PathBox(state, 1))) SplashOutputDev::fill(state);
  }
  void eoFill(GfxState* state) override {
    if (meshFill() && paint(PathBox(state, 1))) SplashOutputDev::eoFill(state);
  }
  // A glyph, its font size square (within the clip).
  void drawChar(GfxState* state, double x, double y, double dx, double dy, double originX,
                double originY, CharCode code, int nBytes, const Unicode* u, int uLen) override {
    const double size = state->getTransformedFontSize();
    double px, py;
    state->transform(x, y, &px, &py);
    const Box clip = ClipBox(state);
    const Box glyph{std::max(px - size, clip.xMin), std::max(py - size, clip.yMin),
                    std::min(px + size, clip.xMax), std::min(py + size, clip.yMax)};
    if (paint(glyph)) {
      SplashOutputDev::drawChar(state, x, y, dx, dy, originX, originY, code, nBytes, u, uLen);
      // Text drawn as a clip adds its glyphs' outlines to the clip path set
      // at the text's end.
      if (state->getRender() & 4) textClipRows(state, code);
    }
  }
  bool functionShadedFill(GfxState* state, GfxFunctionShading* shading) override {
    return !paint(ClipBox(state)) || SplashOutputDev::functionShadedFill(state, shading);
  }
  bool axialShadedFill(GfxState* state, GfxAxialShading* shading, double tMin,
                       double tMax) override {
    return !paint(ClipBox(state)) || SplashOutputDev::axialShadedFill(state, shading, tMin, tMax);
  }
  bool radialShadedFill(GfxState* state, GfxRadialShading* shading, double tMin,
                        double tMax) override {
    return !paint(ClipBox(state)) || SplashOutputDev::radialShadedFill(state, shading, tMin, tMax);
  }
  // A triangle mesh is painted triangle by triangle: each is a piece and
  // costs its box.
  bool gouraudTriangleShadedFill(GfxState* state, GfxGouraudTriangleShading* shading) override {
    if (!meshPieces(size_t(std::max(0, shading->getNTriangles()))) ||
        !paintTriangles(state, *shading)) {
      return true;
    }
    if (SplashOutputDev::gouraudTriangleShadedFill(state, shading)) return true;
    // poppler will split the triangles itself, and goes on through every
    // one of them once the budget is spent: the pieces are paid for now.
    if (!meshPieces(SplitPieces(*shading))) return true;
    meshPrepaid_ = true;
    return false;
  }
  // poppler asks this first when it paints a mesh shading, and paints the
  // pieces the rasteriser does not (patches, and triangles it cannot shade
  // itself: up to 4096 for one triangle) as fills, until it restores the
  // state it saved for the shading. Those fills are the mesh's pieces.
  bool useShadedFills(int type) override {
    if (type >= 4 && gRenderBudget) meshFrom_ = gRenderBudget->saveDepth;
    return SplashOutputDev::useShadedFills(type);
  }

  // Each saved state is a copy of the whole state, poppler's and the
  // rasteriser's, dash pattern and clip paths included: their depth is
  // bounded, and what the copies hold between them, not only the operators
  // that make them.
  void saveState(GfxState* state) override {
    if (RenderBudget* budget = gRenderBudget; budget && !budget->exhausted) {
      budget->deepestSave = std::max(budget->deepestSave, ++budget->saveDepth);
      double phase;
      const size_t copied = state->getLineDash(&phase).size() +
                            size_t(std::max(0, getSplash()->getClip()->getNumPaths()));
      if (budget->saveDepth > size_t(kCGPDFMaxSaveDepth) || copied > budget->savedEntries) {
        budget->exhausted = true;
      } else {
        budget->savedEntries -= copied;
      }
    }
    SplashOutputDev::saveState(state);
  }
  void restoreState(GfxState* state) override {
    if (RenderBudget* budget = gRenderBudget; budget && budget->saveDepth > 0) {
      --budget->saveDepth;
      if (meshFrom_ && budget->saveDepth < *meshFrom_) {
        meshFrom_.reset();
        meshPrepaid_ = false;
      }
    }
    SplashOutputDev::restoreState(state);
  }

  // A clip path the rasteriser keeps (any but a rectangle on the pixel
  // grid) is a scanner of its own, a row for each row its box spans within
  // the clip and an entry for each row each of its segments crosses, held
  // until the state is restored: those rows are charged as the clip is set.
  void clip(GfxState* state) override {
    if (clipRows(state, 1)) SplashOutputDev::clip(state);
  }
  void eoClip(GfxState* state) override {
    if (clipRows(state, 1)) SplashOutputDev::eoClip(state);
  }
  // The outline of a stroke has its two sides.
  void clipToStrokePath(GfxState* state) override {
    if (clipRows(state, 2)) SplashOutputDev::clipToStrokePath(state);
  }

  // A transparency group is drawn into a surface of its own, as large as
  // its box on the bitmap it is drawn over (a knockout group keeps its
  // shape beside it), and then composited: it costs its pixels of the paint
  // budget as it is made and again as it is composited, and the surfaces of
  // groups nested in each other may hold at most kCGPDFMaxGroupPixels at
  // once. poppler pairs every group it begins with its end, so a group past
  // the budget is still begun, on a surface of one pixel.
  void beginTransparencyGroup(GfxState* state, const double* bbox, GfxColorSpace* space,
                              bool isolated, bool knockout, bool forSoftMask) override {
    const double pixels = surfacePixels(state, bbox);
    const bool made = makeSurface(pixels, knockout ? 2 : 1);
    groups_.push_back(made ? pixels : 0);
    static const double kOnePixel[4] = {0, 0, 0, 0};
    SplashOutputDev::beginTransparencyGroup(state, made ? bbox : kOnePixel, space, isolated,
                                            knockout, forSoftMask);
  }
  void endTransparencyGroup(GfxState* state) override {
    ended_ = groups_.empty() ? 0 : groups_.back();
    if (!groups_.empty()) groups_.pop_back();
    if (gRenderBudget) gRenderBudget->groupPixels -= ended_;
    SplashOutputDev::endTransparencyGroup(state);
  }
  void paintTransparencyGroup(GfxState* state, const double* bbox) override {
    charge(ended_);
    SplashOutputDev::paintTransparencyGroup(state, bbox);
  }
  // A soft mask is a surface of the whole bitmap it masks, made from the
  // group drawn for it pixel by pixel.
  void setSoftMask(GfxState* state, const double* bbox, bool alpha, Function* transfer,
                   GfxColor* backdrop) override {
    charge(double(getBitmapWidth()) * double(getBitmapHeight()));
    SplashOutputDev::setSoftMask(state, bbox, alpha, transfer, backdrop);
  }

  bool leftSomethingOut() const { return leftOut_; }

 private:
  struct Box {
    double xMin = 0, yMin = 0, xMax = 0, yMax = 0;
  };
  static Box ClipBox(GfxState* state) {
    Box box;
    state->getClipBBox(&box.xMin, &box.yMin, &box.xMax, &box.yMax);
    return box;
  }
  // The device box of the current path, widened by `margin` pixels, within the clip.
  static Box PathBox(GfxState* state, double margin) {
    const GfxPath* path = state->getPath();
    Box box{INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (int i = 0; path && i < path->getNumSubpaths(); ++i) {
      const GfxSubpath* sub = path->getSubpath(i);
      for (int j = 0; j < sub->getNumPoints(); ++j) {
        double x, y;
        state->transform(sub->getX(j), sub->getY(j), &x, &y);
        box = {std::min(box.xMin, x), std::min(box.yMin, y), std::max(box.xMax, x),
               std::max(box.yMax, y)};
      }
    }
    const Box clip = ClipBox(state);
    return {std::max(box.xMin - margin, clip.xMin), std::max(box.yMin - margin, clip.yMin),
            std::min(box.xMax + margin, clip.xMax), std::min(box.yMax + margin, clip.yMax)};
  }
  // Whether the budget pays for painting every triangle of the mesh, each
  // its box on the page within the clip.
  static bool paintTriangles(GfxState* state, GfxGouraudTriangleShading& shading) {
    const Box clip = ClipBox(state);
    for (int i = 0; i < shading.getNTriangles(); ++i) {
      double x[3], y[3], t[3];
      GfxColor c[3];
      if (shading.isParameterized()) {
        shading.getTriangle(i, &x[0], &y[0], &t[0], &x[1], &y[1], &t[1], &x[2], &y[2], &t[2]);
      } else {
        shading.getTriangle(i, &x[0], &y[0], &c[0], &x[1], &y[1], &c[1], &x[2], &y[2], &c[2]);
      }
      Box box{INFINITY, INFINITY, -INFINITY, -INFINITY};
      for (int k = 0; k < 3; ++k) {
        double px, py;
        state->transform(x[k], y[k], &px, &py);
        box = {std::min(box.xMin, px), std::min(box.yMin, py), std::max(box.xMax, px),
               std::max(box.yMax, py)};
      }
      if (!paint({std::max(box.xMin, clip.xMin), std::max(box.yMin, clip.yMin),
                  std::min(box.xMax, clip.xMax), std::min(box.yMax, clip.yMax)})) {
        return false;
      }
    }
    return true;
  }
  // How many pieces poppler splits a mesh's triangles into when it shades
  // them itself: it halves a triangle's sides until the colours at its
  // corners differ by less than 3/256 in every component, at most six times
  // (4096 pieces; always so counted for a mesh shaded through a function).
  static size_t SplitPieces(GfxGouraudTriangleShading& shading) {
    constexpr GfxColorComp kClose = 3 * 65536 / 256;
    const int components = shading.getColorSpace()->getNComps();
    size_t pieces = 0;
    for (int i = 0; i < shading.getNTriangles(); ++i) {
      GfxColorComp spread = kClose << 6;
      if (!shading.isParameterized()) {
        double x[3], y[3];
        GfxColor c[3];
        shading.getTriangle(i, &x[0], &y[0], &c[0], &x[1], &y[1], &c[1], &x[2], &y[2], &c[2]);
        spread = 0;
        for (int k = 0; k < components && k < gfxColorMaxComps; ++k) {
          for (auto [a, b] : {std::pair{0, 1}, {1, 2}, {0, 2}}) {
            spread = std::max(spread, std::abs(c[a].c[k] - c[b].c[k]));
          }
        }
      }
      int depth = 0;
      while (depth < 6 && spread >= kClose) spread /= 2, ++depth;
      pieces += size_t(1) << (2 * depth);
    }
    return pieces;
  }
  // A fill while a mesh is painted is one of its pieces, unless paid for.
  bool meshFill() { return meshPrepaid_ || meshPieces(1); }
  // Whether the budget pays for `count` pieces of a mesh shading, when one
  // is being painted; spends it when it cannot.
  bool meshPieces(size_t count) {
    RenderBudget* budget = gRenderBudget;
    if (!budget || !meshFrom_) return true;
    if (budget->exhausted) return false;
    if (count > budget->meshPieces) {
      budget->exhausted = true;
      return false;
    }
    budget->meshPieces -= count;
    return true;
  }
  // The rows a clip of the current path costs: none for a rectangle on the
  // pixel grid, which the rasteriser keeps as the clip's box.
  bool clipRows(GfxState* state, double sides) {
    RenderBudget* budget = gRenderBudget;
    if (!budget) return true;
    if (budget->exhausted) return false;
    const GfxPath* path = state->getPath();
    if (!path || IsGridRectangle(state, *path)) return true;
    // poppler has already cut the clip's box to the path's.
    const Box clip = ClipBox(state);
    const double top = std::floor(clip.yMin), bottom = std::ceil(clip.yMax);
    double rows = std::max(0.0, bottom - top);
    auto rowOf = [&](const GfxSubpath& sub, int i) {
      double x, y;
      state->transform(sub.getX(i), sub.getY(i), &x, &y);
      return std::clamp(y, top, bottom);
    };
    // A curve crosses no more rows than its control polygon.
    for (int i = 0; i < path->getNumSubpaths(); ++i) {
      const GfxSubpath& sub = *path->getSubpath(i);
      const int points = sub.getNumPoints();
      for (int j = 0; j < points; ++j) {
        rows += sides * (1 + std::abs(rowOf(sub, (j + 1) % points) - rowOf(sub, j)));
      }
    }
    return spendClipRows(rows);
  }
  // Charges the glyph's outline as it joins the text's clip path: its rows,
  // and those each of its segments crosses. Poppler does not export the font
  // class's type information, which the sanitizers' dynamic-type check on the
  // virtual call would need to link.
#if defined(__clang__)
  __attribute__((no_sanitize("vptr")))
#endif
  void textClipRows(GfxState* state, CharCode code) {
    SplashFont* font = getCurrentFont();
    if (!font || !gRenderBudget || gRenderBudget->exhausted) return;
    const std::unique_ptr<SplashPath> outline(font->getGlyphPath(int(code)));
    if (!outline || outline->getLength() < 1) return;
    double rows = 0, top = INFINITY, bottom = -INFINITY, last = 0;
    for (int i = 0; i < outline->getLength(); ++i) {
      double x, y;
      unsigned char flags;
      outline->getPoint(i, &x, &y, &flags);
      rows += 1 + (i > 0 ? std::abs(y - last) : 0);
      top = std::min(top, y), bottom = std::max(bottom, y), last = y;
    }
    const Box clip = ClipBox(state);
    spendClipRows(rows + std::clamp(bottom - top, 0.0, std::max(0.0, clip.yMax - clip.yMin)));
  }
  // Whether the budget pays for `rows` of clip paths; spends it when it
  // cannot.
  static bool spendClipRows(double rows) {
    RenderBudget* budget = gRenderBudget;
    if (!std::isfinite(rows) || rows > budget->clipRows) {
      budget->exhausted = budget->paintSpent = true;
      return false;
    }
    budget->clipRows -= rows;
    return true;
  }
  // Whether `path` is one rectangle whose sides lie along the device's
  // axes, as the rasteriser tells it from a clip path.
  static bool IsGridRectangle(GfxState* state, const GfxPath& path) {
    if (path.getNumSubpaths() != 1) return false;
    const GfxSubpath& sub = *path.getSubpath(0);
    int points = sub.getNumPoints();
    for (int i = 0; i < points; ++i) {
      if (sub.getCurve(i)) return false;
    }
    if (points == 5 && sub.getX(4) == sub.getX(0) && sub.getY(4) == sub.getY(0)) points = 4;
    if (points != 4) return false;
    double x[4], y[4];
    for (int i = 0; i < 4; ++i) state->transform(sub.getX(i), sub.getY(i), &x[i], &y[i]);
    for (int i = 0; i < 4; ++i) {
      const int next = (i + 1) % 4;
      if (x[i] != x[next] && y[i] != y[next]) return false;
    }
    return true;
  }
  // The pixels of the surface for a group of `bbox`: its box on the bitmap
  // it is drawn over, within that bitmap, at least one.
  double surfacePixels(GfxState* state, const double* bbox) {
    Box box{INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (auto [u, v] : {std::pair{bbox[0], bbox[1]},
                        {bbox[2], bbox[1]},
                        {bbox[0], bbox[3]},
                        {bbox[2], bbox[3]}}) {
      double x, y;
      state->transform(u, v, &x, &y);
      box = {std::min(box.xMin, x), std::min(box.yMin, y), std::max(box.xMax, x),
             std::max(box.yMax, y)};
    }
    auto span = [](double from, double to, int size) {
      if (!(from <= to)) return 1.0;  // not a number
      return std::clamp(std::ceil(to) - std::floor(from) + 1, 1.0, double(std::max(size, 1)));
    };
    return span(box.xMin, box.xMax, getBitmapWidth()) * span(box.yMin, box.yMax, getBitmapHeight());
  }
  // Whether the budget pays for a group surface of `pixels` (`layers` deep)
  // and its pixels alive at once; spends it when it cannot.
  static bool makeSurface(double pixels, double layers) {
    RenderBudget* budget = gRenderBudget;
    if (!budget) return true;
    if (budget->exhausted) return false;
    if (budget->groupPixels + pixels > kCGPDFMaxGroupPixels || !charge(pixels * layers)) {
      budget->exhausted = budget->paintSpent = true;
      return false;
    }
    budget->groupPixels += pixels;
    budget->mostGroupPixels = std::max(budget->mostGroupPixels, budget->groupPixels);
    return true;
  }
  // Spends `pixels` of the paint budget; false (the budget spent) when it
  // cannot.
  static bool charge(double pixels) {
    RenderBudget* budget = gRenderBudget;
    if (!budget) return true;
    if (budget->exhausted) return false;
    if (!std::isfinite(pixels) || pixels > budget->paintedPixels) {
      budget->exhausted = budget->paintSpent = true;
      return false;
    }
    budget->paintedPixels -= pixels;
    return true;
  }
  // Whether the budget pays for painting `box`; spends it when it cannot.
  static bool paint(const Box& box) {
    RenderBudget* budget = gRenderBudget;
    if (!budget) return true;
    if (budget->exhausted) return false;
    return charge(std::max(0.0, box.xMax - box.xMin) * std::max(0.0, box.yMax - box.yMin));
  }

  bool take(int width, int height) {
    const double pixels = double(std::max(width, 0)) * double(std::max(height, 0));
    if (pixels > left_) {
      leftOut_ = true;
      return false;
    }
    left_ -= pixels;
    return true;
  }

  double left_ = kCGPDFMaxImagePixels;
  bool leftOut_ = false;
  // The save depth at which a mesh shading is being painted, while one is.
  std::optional<size_t> meshFrom_;
  bool meshPrepaid_ = false;     // its pieces are paid for already
  std::vector<bool> maskTaken_;  // per soft mask set from an image mask, innermost last
  std::vector<double> groups_;   // the pixels of each group's surface, innermost last
  double ended_ = 0;             // those of the group ended last
};

// What one render spent.
CGPDFRenderCost Spent(const RenderBudget& spent) {
  CGPDFRenderCost cost;
  cost.renders = 1;
  cost.contentBytes = kCGPDFMaxContentBytes - double(spent.contentBytes);
  cost.fontBytes = kCGPDFMaxFontBytes - double(spent.fontBytes);
  cost.meshVertices = kCGPDFMaxMeshVertices - double(spent.meshVertices);
  cost.meshPieces = kCGPDFMaxMeshPieces - double(spent.meshPieces);
  cost.paintedPixels = kCGPDFMaxImagePixels - spent.paintedPixels;
  cost.saveDepth = double(spent.deepestSave);
  cost.savedEntries = kCGPDFMaxSavedEntries - double(spent.savedEntries);
  cost.contentReadings = kCGPDFMaxContentReadings - double(spent.contentReadings);
  cost.clipRows = kCGPDFMaxClipRows - spent.clipRows;
  cost.groupPixels = spent.mostGroupPixels;
  return cost;
}

// Adds a render's spending to what the page's renders have cost.
void Record(CGPDFRenderCost& cost, const CGPDFRenderCost& one) {
  cost.renders += one.renders;
  auto most = [](double& kept, double now) { kept = std::max(kept, now); };
  most(cost.contentBytes, one.contentBytes);
  most(cost.fontBytes, one.fontBytes);
  most(cost.meshVertices, one.meshVertices);
  most(cost.meshPieces, one.meshPieces);
  most(cost.paintedPixels, one.paintedPixels);
  most(cost.saveDepth, one.saveDepth);
  most(cost.savedEntries, one.savedEntries);
  most(cost.contentReadings, one.contentReadings);
  most(cost.clipRows, one.clipRows);
  most(cost.groupPixels, one.groupPixels);
}

// The scale that keeps `box` at `scale` within the render limits. poppler
// makes the bitmap of the box's sides times the scale rounded to whole
// pixels, so the rounded sides are what must fit.
double boundedScale(CGRect box, double scale) {
  const double w = box.size.width, h = box.size.height;
  const double side = std::max(w, h) * scale;
  if (side > kCGPDFMaxRenderSide) scale *= kCGPDFMaxRenderSide / side;
  const double pixels = w * h * scale * scale;
  if (pixels > kCGPDFMaxRenderPixels) scale *= std::sqrt(kCGPDFMaxRenderPixels / pixels);
  for (;;) {
    const double longer = std::round(std::max(w, h) * scale);
    if (std::round(w * scale) * std::round(h * scale) <= kCGPDFMaxRenderPixels || longer <= 1) {
      return scale;
    }
    scale *= (longer - 1) / longer;  // a pixel off the longer side
  }
}

}  // namespace

CGPDFDocument::CGPDFDocument(std::shared_ptr<const Bytes> bytes, std::unique_ptr<PDFDoc> document)
    : bytes_(std::move(bytes)), document_(std::move(document)) {
  pages_ = static_cast<size_t>(std::max(0, document_->getNumPages()));
}

CGPDFDocument::~CGPDFDocument() {
  {
    MutexLock lock(childMutex_);
    child_.reset();
  }
  MutexLock lock(popplerMutex());
  document_.reset();
}

std::shared_ptr<CGPDFDocument> CGPDFDocument::create(std::shared_ptr<const Bytes> bytes) {
  if (!bytes || bytes->empty() || bytes->size() > INT32_MAX) return nullptr;
  MutexLock lock(popplerMutex());
  preparePoppler();
  // The document owns the stream; the stream reads the bytes in place.
  auto* stream = new MemStream(reinterpret_cast<const char*>(bytes->data()), 0,
                               Goffset(bytes->size()), Object(objNull));
  auto doc = std::make_unique<PDFDoc>(stream);
  // A document that needs a password (other than the empty one) is not ok.
  if (!doc->isOk() || doc->getNumPages() < 1) return nullptr;
  return std::make_shared<CGPDFDocument>(std::move(bytes), std::move(doc));
}

std::shared_ptr<CGPDFPage> CGPDFDocument::page(size_t number) {
  if (number < 1 || number > pages_) return nullptr;
  auto self = std::static_pointer_cast<CGPDFDocument>(shared_from_this());
  int rotation;
  {
    MutexLock lock(popplerMutex());
    Page* p = document_->getPage(static_cast<int>(number));
    if (!p) return nullptr;
    rotation = ((p->getRotate() % 360) + 360) % 360 / 90 * 90;
  }
  return std::make_shared<CGPDFPage>(self, number, rotation);
}

CGPDFPage::CGPDFPage(std::shared_ptr<CGPDFDocument> document, size_t number, int rotation)
    : document_(std::move(document)), number_(number), rotation_(rotation) {}

CGRect CGPDFPage::boxRect(CGPDFBox box) const {
  if (box < kCGPDFMediaBox || box > kCGPDFArtBox) return CGRectNull;
  MutexLock lock(popplerMutex());
  Page* p = document_->document_->getPage(static_cast<int>(number_));
  if (!p) return CGRectNull;
  const PDFRectangle* r = box == kCGPDFMediaBox   ? p->getMediaBox()
                          : box == kCGPDFCropBox  ? p->getCropBox()
                          : box == kCGPDFBleedBox ? p->getBleedBox()
                          : box == kCGPDFTrimBox  ? p->getTrimBox()
                                                  : p->getArtBox();
  return CGRectStandardize(CGRectMake(r->x1, r->y1, r->x2 - r->x1, r->y2 - r->y1));
}

CGPDFRenderChild& CGPDFDocument::child() {
  MutexLock lock(childMutex_);
  if (!child_) child_ = std::make_unique<CGPDFRenderChild>(bytes_);
  return *child_;
}

CGPDFPage::Raster CGPDFPage::render(double dpi, int rotate, uint32_t paper) const {
  MutexLock lock(mutex_);
  // A page given up once is given up again without the work: its content
  // is the same at every scale, and its painting only costs more at a
  // larger one.
  if (givenUpAt_ && dpi >= *givenUpAt_) return {};
  CGPDFRenderChild::Result result = document_->child().render(number_, dpi, rotate, paper);
  const std::string page = "CGPDFPage: page " + std::to_string(number_);
  if (!result.answered) {
    // As a render that runs out of memory: given up at every scale.
    ++cost_.renders;
    givenUpAt_ = 0;
    NSLog(page + " " + result.failure + "; it is not shown");
    return {};
  }
  Record(cost_, result.answer.cost);
  if (result.answer.exhausted) {
    givenUpAt_ = result.answer.paintSpent ? dpi : 0;
    NSLog(page + (result.answer.outOfMemory ? " ran out of memory to render"
                                             : " costs more work than a page may") +
          "; it is not shown");
    return {};
  }
  if (result.answer.leftOut) {
    NSLog(page + " declares images of more pixels than a page may; they are left out");
  }
  return result.pixels;
}

CGPDFRenderAnswer CGPDFPage::renderHere(double dpi, int rotate, uint32_t paper,
                                        int& pixels) const {
  MutexLock lock(popplerMutex());
  preparePoppler();
  RenderBudget budget;
  CGPDFRenderAnswer answer;
  bool leftOut = false;
  pixels = -1;
  try {
    PDFDoc* doc = document_->document_.get();
    if (!contentWrapped_) {
      if (Page* page = doc->getPage(static_cast<int>(number_))) {
        ContentWrapper(doc->getXRef()).wrapPage(page);
      }
      contentWrapped_ = true;
    }
    gRenderBudget = &budget;
    pixels = rasterise(dpi, rotate, paper, leftOut, answer.width, answer.height);
  } catch (const std::bad_alloc&) {
    // Memory ran out somewhere in poppler, in a way no budget foresaw:
    // what the render held goes as the stack unwinds, and the page is
    // given up at every scale, as one that costs too much.
    budget.exhausted = true;
    budget.paintSpent = false;
    answer.outOfMemory = 1;
  }
  gRenderBudget = nullptr;
  answer.cost = Spent(budget);
  answer.exhausted = budget.exhausted;
  answer.paintSpent = budget.paintSpent;
  answer.leftOut = leftOut;
  if (budget.exhausted && pixels >= 0) {
    ::close(pixels);
    pixels = -1;
  }
  return answer;
}

int CGPDFPage::rasterise(double dpi, int rotate, uint32_t paper, bool& leftOut, int& width,
                         int& height) const {
  SplashColor paperColor = {uint8_t(paper >> 16), uint8_t(paper >> 8), uint8_t(paper), 0};
  BoundedOutputDev device(splashModeXBGR8, 4, false, paperColor);
  device.setFontAntialias(true);
  device.setVectorAntialias(true);
  device.setFreeTypeHinting(false, false);
  device.startDoc(document_->document_.get());
  document_->document_->displayPageSlice(&device, static_cast<int>(number_), dpi, dpi, rotate,
                                         false, true, false, -1, -1, -1, -1);
  leftOut = device.leftSomethingOut();
  if (gRenderBudget->exhausted) return -1;
  SplashBitmap* bitmap = device.getBitmap();
  if (!bitmap || bitmap->getWidth() < 1 || bitmap->getHeight() < 1) return -1;
  const size_t row = size_t(bitmap->getWidth()) * 4, stride = size_t(bitmap->getRowSize());
  if (stride < row) return -1;
  const auto* source = reinterpret_cast<const uint8_t*>(bitmap->getDataPtr());
  // One pass over the pixels, into the memory the host maps.
  const int fd = CGPDFWritePixels(row * size_t(bitmap->getHeight()), [&](uint8_t* out) {
    if (stride == row) {
      std::memcpy(out, source, row * size_t(bitmap->getHeight()));
      return;
    }
    for (int y = 0; y < bitmap->getHeight(); ++y) {
      std::memcpy(out + row * size_t(y), source + stride * size_t(y), row);
    }
  });
  if (fd < 0) throw std::bad_alloc();
  width = bitmap->getWidth();
  height = bitmap->getHeight();
  return fd;
}

CGPDFRenderCost CGPDFPage::renderCost() const {
  MutexLock lock(mutex_);
  return cost_;
}

namespace {

// Paper that nothing paints must stay transparent, but poppler always fills
// it; rendering on white and on black recovers each pixel's coverage: a pixel
// of colour C and alpha a reads a·C on black and a·C + (1 − a) on white.
void combine(const uint8_t* white, Bytes& black) {
  for (size_t i = 0; i + 3 < black.size(); i += 4) {
    const uint8_t* pw = white + i;
    uint8_t* pb = &black[i];
    const int gap = std::max({pw[0] - pb[0], pw[1] - pb[1], pw[2] - pb[2], 0});
    const uint8_t a = static_cast<uint8_t>(255 - gap);
    pb[0] = std::min(pb[0], a), pb[1] = std::min(pb[1], a), pb[2] = std::min(pb[2], a);
    pb[3] = a;
  }
}

}  // namespace

void CGPDFPage::drawInContext(CGContext& context) const {
  CGRect crop = boxRect(kCGPDFCropBox);
  if (CGRectIsEmpty(crop)) return;
  CGAffineTransform m = context.ctm();
  double scale = std::max(std::hypot(m.a, m.b), std::hypot(m.c, m.d));
  if (!(scale > 0) || !std::isfinite(scale)) return;
  scale = boundedScale(crop, scale);
  // Undo the page's own rotation: the context's transform places the page.
  const int undo = (360 - rotation_) % 360;
  Raster white = render(72 * scale, undo, 0xFFFFFF);
  Raster black = white.data ? render(72 * scale, undo, 0x000000) : Raster{};
  if (!white.data || !black.data || white.width != black.width ||
      white.height != black.height) {
    NSLog("CGContextDrawPDFPage: the page could not be rendered");
    return;
  }
  combine(white.data->data(), *black.data);
  const CGImageRef image = imageOf(black, kCGImageAlphaPremultipliedFirst);
  if (!image) return;
  context.saveGState();
  context.clipToRect(crop);
  context.drawImage(crop, *image);
  context.restoreGState();
}

CGImageRef CGPDFPage::createImage(double pixelsPerPoint) const {
  CGRect crop = boxRect(kCGPDFCropBox);
  if (CGRectIsEmpty(crop) || !(pixelsPerPoint > 0) || !std::isfinite(pixelsPerPoint)) {
    return nullptr;
  }
  Raster page = render(72 * boundedScale(crop, pixelsPerPoint), 0, 0xFFFFFF);
  if (!page.data) return nullptr;
  return imageOf(page, kCGImageAlphaNoneSkipFirst);
}

CGImageRef CGPDFPage::imageOf(Raster& raster, CGImageAlphaInfo alpha) const {
  try {
    return CGImage::create(raster.width, raster.height, 8, 32, size_t(raster.width) * 4,
                           alpha | kCGBitmapByteOrder32Little, std::move(raster.data));
  } catch (const std::bad_alloc&) {
    // As for a render that runs out of memory: the page shows nothing.
    NSLog("CGPDFPage: page " + std::to_string(number_) + " could not be held in memory");
    return nullptr;
  }
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

#include "platform/uikit/UIFont.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <map>
#include <tuple>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/quartzcore/CALayerRendering.h"
#include "platform/uikit/internal/FontFaces.h"
#include "platform/uikit/internal/TextShaper.h"

namespace {

const char* const kRegularFile = "DejaVuSans.ttf";
const char* const kBoldFile = "DejaVuSans-Bold.ttf";
const char* const kLightFile = "DejaVuSans-ExtraLight.ttf";

// A glyph rendered once at one pixel size: its coverage (rows a multiple of
// 4 bytes apart, as the compositor takes them) or, for colour glyphs, its
// premultiplied picture drawn `colorScale` device pixels a bitmap pixel; and
// where it sits against the pen on the baseline.
struct Glyph {
  int left = 0, top = 0;
  int width = 0, rows = 0, stride = 0;
  bool gray = false;  // rendered as coverage (of no pixels for a space)
  std::vector<uint8_t> coverage;
  CGImageRef color;
  double colorScale = 1;
};

// The glyphs of one face rendered at one size, by glyph index: a table a
// line's glyphs are found in without hashing or searching. Pages of 256
// glyphs, made as the text asks for them, keep faces of tens of thousands
// of glyphs cheap. A glyph once rendered stays where it is while the
// strike lives; whoever draws holds the strike.
struct Strike {
  static constexpr size_t kPage = 256;
  using Page = std::array<std::unique_ptr<Glyph>, kPage>;
  std::vector<std::unique_ptr<Page>> pages;

  // The glyph's slot: empty until rendered.
  std::unique_ptr<Glyph>& slot(FT_UInt index) {
    const size_t page = index / kPage;
    if (page >= pages.size()) pages.resize(page + 1);
    if (!pages[page]) pages[page] = std::make_unique<Page>();
    return (*pages[page])[index % kPage];
  }
};

struct StrikeKey {
  FT_Face face;
  long size26_6;  // pixels per em, 26.6 fixed point
  bool operator<(const StrikeKey& o) const {
    return std::tie(size26_6, face) < std::tie(o.size26_6, o.face);
  }
};

// Rendering a glyph costs far more than copying it: labels keep drawing the
// same few glyphs at the same few sizes.
constexpr size_t kMaxCachedGlyphs = 4096;

// Glyphs rendered from the faces and the system faces' metrics, both
// guarded by the faces' mutex (rendering sets a face's size).
struct Rendered {
  std::map<StrikeKey, std::shared_ptr<Strike>> strikes;
  // Glyphs rendered, in all strikes.
  size_t glyphs = 0;
  // Metrics by file; their nodes stay where they are.
  std::map<std::string, UIFont::FaceMetrics> metrics;
};

Rendered& rendered() {
  static auto* r = new Rendered();  // lives for the process, as the faces do
  return *r;
}

// The strike of the face at the size; faces' mutex held.
const std::shared_ptr<Strike>& strikeLocked(FT_Face face, long size26_6) {
  Rendered& r = rendered();
  std::shared_ptr<Strike>& strike = r.strikes[StrikeKey{face, size26_6}];
  if (!strike) strike = std::make_shared<Strike>();
  return strike;
}

// A colour bitmap (emoji) glyph: the face's bitmaps come in fixed sizes, so
// the strike nearest above the size wanted is loaded and scaled when drawn.
Glyph colorGlyphLocked(FT_Face face, double pixelsPerEm, FT_UInt index) {
  Glyph glyph;
  int best = 0;
  for (int i = 0; i < face->num_fixed_sizes; ++i) {
    const double ppem = face->available_sizes[i].y_ppem / 64.0;
    const double bestPpem = face->available_sizes[best].y_ppem / 64.0;
    if ((ppem >= pixelsPerEm && (bestPpem < pixelsPerEm || ppem < bestPpem)) ||
        (bestPpem < pixelsPerEm && ppem > bestPpem)) {
      best = i;
    }
  }
  if (FT_Select_Size(face, best) != 0) return glyph;
  if (FT_Load_Glyph(face, index, FT_LOAD_COLOR) != 0) return glyph;
  const FT_Bitmap& bm = face->glyph->bitmap;
  if (bm.pixel_mode != FT_PIXEL_MODE_BGRA || bm.width == 0 || bm.rows == 0) return glyph;
  const double strike = face->available_sizes[best].y_ppem / 64.0;
  glyph.colorScale = strike > 0 ? pixelsPerEm / strike : 1;
  glyph.left = int(std::lround(face->glyph->bitmap_left * glyph.colorScale));
  glyph.top = int(std::lround(face->glyph->bitmap_top * glyph.colorScale));
  glyph.width = int(bm.width);
  glyph.rows = int(bm.rows);
  auto pixels = std::make_shared<Bytes>(size_t(bm.width) * bm.rows * 4);
  for (unsigned row = 0; row < bm.rows; ++row) {
    const uint8_t* line = bm.buffer + long(row) * bm.pitch;
    std::copy(line, line + bm.width * 4, pixels->begin() + long(row) * bm.width * 4);
  }
  // FreeType's colour bitmaps are premultiplied BGRA.
  glyph.color = CGImage::create(bm.width, bm.rows, 8, 32, size_t(bm.width) * 4,
                                kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little,
                                std::move(pixels));
  return glyph;
}

// The glyph rendered at `size26_6` pixels per em in the face's strike at
// that size; the face's size is set to it. Faces' mutex held.
const Glyph& glyphLocked(Strike& strike, FT_Face face, long size26_6, FT_UInt index) {
  std::unique_ptr<Glyph>& slot = strike.slot(index);
  if (slot) return *slot;
  auto glyph = std::make_unique<Glyph>();
  if (FT_HAS_COLOR(face) && !FT_IS_SCALABLE(face)) {
    *glyph = colorGlyphLocked(face, size26_6 / 64.0, index);
  } else {
    FT_Set_Char_Size(face, 0, size26_6, 72, 72);
    if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_NO_HINTING) == 0 &&
        face->glyph->bitmap.pixel_mode == FT_PIXEL_MODE_GRAY) {
      const FT_Bitmap& bm = face->glyph->bitmap;
      glyph->gray = true;
      glyph->left = face->glyph->bitmap_left;
      glyph->top = face->glyph->bitmap_top;
      glyph->width = int(bm.width);
      glyph->rows = int(bm.rows);
      glyph->stride = (glyph->width + 3) & ~3;
      glyph->coverage.assign(size_t(glyph->stride) * bm.rows, 0);
      for (unsigned row = 0; row < bm.rows; ++row) {
        const uint8_t* line = bm.buffer + long(row) * bm.pitch;
        std::copy(line, line + bm.width, glyph->coverage.begin() + long(row) * glyph->stride);
      }
    }
  }
  ++rendered().glyphs;
  slot = std::move(glyph);
  return *slot;
}

// Strikes for drawing one line: each face's at one size, held until the
// line is drawn, so glyphs dropped from the cache meanwhile stay alive.
// Faces' mutex held while glyphs are looked up.
class StrikesOfLine {
 public:
  explicit StrikesOfLine(long size26_6) : size26_6_(size26_6) {
    Rendered& r = rendered();
    // Past the limit, the next glyphs start a fresh cache.
    if (r.glyphs >= kMaxCachedGlyphs) {
      r.strikes.clear();
      r.glyphs = 0;
    }
  }
  const Glyph& glyph(FT_Face face, FT_UInt index) {
    if (face != face_) {
      face_ = face;
      strike_ = first_.face == face ? first_.strike.get() : nullptr;
      for (const Held& held : held_) {
        if (held.face == face) strike_ = held.strike.get();
      }
      if (!strike_) {
        // Most lines are in one face: only further faces need the list.
        Held& held = first_.face ? held_.emplace_back() : first_;
        held = {face, strikeLocked(face, size26_6_)};
        strike_ = held.strike.get();
      }
    }
    return glyphLocked(*strike_, face, size26_6_, index);
  }

 private:
  struct Held {
    FT_Face face = nullptr;
    std::shared_ptr<Strike> strike;
  };
  long size26_6_;
  FT_Face face_ = nullptr;
  Strike* strike_ = nullptr;
  Held first_;
  std::vector<Held> held_;  // the faces after the first
};

std::string fileForWeight(UIFontWeight w) {
  if (w >= UIFontWeightSemibold) return kBoldFile;
  if (w <= UIFontWeightThin) return kLightFile;
  return kRegularFile;
}

// The metrics of a system font file, kept for the process.
const UIFont::FaceMetrics& metricsOf(const std::string& file) {
  MutexLock lock(FontFacesMutex());
  auto known = rendered().metrics.find(file);
  if (known != rendered().metrics.end()) return known->second;
  UIFont::FaceMetrics& m = rendered().metrics[file];
  FT_Face face = SystemFontFaceLocked(file);
  if (!face) return m;
  double em = face->units_per_EM;
  m.ascender = face->ascender / em;
  m.descender = face->descender / em;
  m.height = face->height / em;
  if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2))) {
    if (os2->sCapHeight > 0) m.cap = os2->sCapHeight / em;
    if (os2->sxHeight > 0) m.x = os2->sxHeight / em;
  }
  return m;
}

// std::lround for the pixel positions of glyphs, without the call: halves
// away from zero.
long roundToPixel(double v) {
  if (!(std::fabs(v) < 1e15)) return std::lround(v);
  long whole = long(v);  // towards zero; v - whole is exact
  const double rest = v - double(whole);
  if (rest >= 0.5) ++whole;
  if (rest <= -0.5) --whole;
  return whole;
}

}  // namespace

UIFont::UIFont(std::string name, std::string file, double pointSize, UIFontWeight weight)
    : name_(std::move(name)), file_(std::move(file)), pointSize_(pointSize), weight_(weight) {}

UIFontPtr UIFont::systemFontOfSize(double size) {
  return systemFontOfSize(size, UIFontWeightRegular);
}

UIFontPtr UIFont::boldSystemFontOfSize(double size) {
  return systemFontOfSize(size, UIFontWeightBold);
}

UIFontPtr UIFont::systemFontOfSize(double size, UIFontWeight weight) {
  std::string file = fileForWeight(weight);
  std::string name = file == kBoldFile    ? ".SFUI-Bold"
                     : file == kLightFile ? ".SFUI-Light"
                                          : ".SFUI-Regular";
  return std::make_shared<UIFont>(name, file, size, weight);
}

UIFontPtr UIFont::fontWithName(const std::string& name, double size) {
  static const char* const kFamilies[] = {".SFUI", "SFPro", "SFUI", "Helvetica", "Arial",
                                          "Avenir", "DejaVuSans"};
  bool known = std::any_of(std::begin(kFamilies), std::end(kFamilies),
                           [&name](const char* f) { return name.rfind(f, 0) == 0; });
  if (!known) return nullptr;
  auto has = [&name](const char* s) { return name.find(s) != std::string::npos; };
  UIFontWeight w = UIFontWeightRegular;
  if (has("Bold") || has("Heavy") || has("Black") || has("Semibold")) w = UIFontWeightBold;
  if (has("Light") || has("Thin")) w = UIFontWeightThin;
  return std::make_shared<UIFont>(name, fileForWeight(w), size, w);
}

std::string UIFont::familyName() const {
  return name_.rfind(".SFUI", 0) == 0 ? ".SF UI Text" : name_.substr(0, name_.find('-'));
}

UIFontPtr UIFont::fontWithSize(double size) const {
  return std::make_shared<UIFont>(name_, file_, size, weight_);
}

const UIFont::FaceMetrics& UIFont::metrics() const {
  const FaceMetrics* known = metrics_.load(std::memory_order_acquire);
  if (!known) {
    known = &metricsOf(file_);
    metrics_.store(known, std::memory_order_release);
  }
  return *known;
}

double UIFont::ascender() const { return metrics().ascender * pointSize_; }
double UIFont::descender() const { return metrics().descender * pointSize_; }
double UIFont::lineHeight() const { return metrics().height * pointSize_; }
double UIFont::capHeight() const { return metrics().cap * pointSize_; }
double UIFont::xHeight() const { return metrics().x * pointSize_; }

std::shared_ptr<const ShapedLine> UIFont::shapedLine(const std::string& text,
                                                     NSWritingDirection direction) const {
  return ShapeText(file_, text, direction);
}

double UIFont::widthOfText(const std::string& text, NSWritingDirection direction) const {
  if (text.empty()) return 0;
  return ShapeText(file_, text, direction)->width * pointSize_;
}

std::vector<double> UIFont::advancesOfText(const std::string& text,
                                           NSWritingDirection direction) const {
  std::vector<double> advances(text.size(), 0);
  if (text.empty()) return advances;
  const auto line = ShapeText(file_, text, direction);
  for (const ShapedGlyph& g : line->glyphs) {
    if (g.cluster < advances.size()) advances[g.cluster] += g.advance * pointSize_;
  }
  if (line->glyphs.empty() && line->width > 0) {
    // No face to shape with: each character as wide as the line's share.
    for (size_t i = 0; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) advances[i] = 0.6 * pointSize_;
    }
  }
  return advances;
}

void UIFont::drawText(const std::string& text, CGPoint origin, const CGColorRef& color,
                      const CGContextRef& context, NSWritingDirection direction) const {
  if (!context || !color || text.empty()) return;
  drawShapedLine(*ShapeText(file_, text, direction), origin, color, context);
}

void UIFont::drawShapedLine(const ShapedLine& line, CGPoint origin, const CGColorRef& color,
                            const CGContextRef& context, const CGRect* clip) const {
  if (!context || !color || line.glyphs.empty()) return;
  const CGAffineTransform ctm = CGContextGetCTM(context);
  const double scale = std::max(1.0, std::sqrt(std::fabs(ctm.a * ctm.d - ctm.b * ctm.c)));
  const FaceMetrics& m = metrics();
  double rgba[4];
  color->getRGBA(rgba);
  const double lineTop = (m.height - (m.ascender - m.descender)) / 2;  // half the leading
  const double baselineY = origin.y + (lineTop + m.ascender) * pointSize_;
  const long size26_6 = std::lround(pointSize_ * scale * 64);

  // Upright text in a y-down space (a UIKit context) lands glyph by glyph on
  // whole device pixels; any other transform draws the line as a picture.
  const bool onGrid = ctm.b == 0 && ctm.c == 0 && ctm.a > 0 && ctm.d < 0 &&
                      std::fabs(ctm.a + ctm.d) < 1e-9;
  // The masks' list is kept for the next line on this thread (taken while
  // in use).
  thread_local std::vector<CGPixelMask> spareMasks;
  std::vector<CGPixelMask> masks = std::move(spareMasks);
  masks.clear();
  struct ColorGlyph {
    CGImageRef image;
    CGRect rect;  // in user space
  };
  std::vector<ColorGlyph> colorGlyphs;
  // Device pixels of the line: the pen's x and the baseline's row.
  const double height = double(CGBitmapContextGetHeight(context));
  const double penX = ctm.a * origin.x + ctm.tx;
  const double baseRow = height - (ctm.d * baselineY + ctm.ty);
  masks.reserve(line.glyphs.size());
  MutexLock lock(FontFacesMutex());
  StrikesOfLine strikes(size26_6);  // the glyphs' pixels, alive while drawn
  for (const ShapedGlyph& g : line.glyphs) {
    const Glyph& bm = strikes.glyph(g.face, g.index);
    const double x = g.x * pointSize_, rise = g.y * pointSize_;  // in points
    if (bm.color) {
      const double s = bm.colorScale / scale;  // points a bitmap pixel
      colorGlyphs.push_back(
          {bm.color, CGRectMake(origin.x + x + bm.left / scale, baselineY - rise - bm.top / scale,
                                bm.width * s, bm.rows * s)});
      continue;
    }
    if (!bm.gray) continue;
    if (onGrid) {
      // The face, size and index say what the glyph's pixels are.
      const auto item = reinterpret_cast<const void*>((uintptr_t(size26_6) << 32) | g.index);
      masks.push_back({bm.coverage.data(), bm.stride, bm.width, bm.rows,
                       int(roundToPixel(penX + x * scale)) + bm.left,
                       int(roundToPixel(baseRow - rise * scale)) - bm.top, g.face, item});
    } else {
      masks.push_back({bm.coverage.data(), bm.stride, bm.width, bm.rows,
                       int(roundToPixel(x * scale)) + bm.left,
                       -int(roundToPixel(rise * scale)) - bm.top});
    }
  }
  lock.unlock();
  // Glyphs on the grid all inside the whole pixels of the clip are what
  // clipping them leaves: most labels' text sits inside their bounds.
  bool clips = clip != nullptr;
  if (clips && onGrid && colorGlyphs.empty()) {
    const double left = std::ceil(ctm.a * clip->origin.x + ctm.tx);
    const double right = std::floor(ctm.a * (clip->origin.x + clip->size.width) + ctm.tx);
    const double top = std::ceil(height - (ctm.d * clip->origin.y + ctm.ty));
    const double bottom =
        std::floor(height - (ctm.d * (clip->origin.y + clip->size.height) + ctm.ty));
    clips = std::any_of(masks.begin(), masks.end(), [&](const CGPixelMask& k) {
      return k.width > 0 && k.height > 0 &&
             (k.x < left || k.x + k.width > right || k.y < top || k.y + k.height > bottom);
    });
  }
  if (clips) {
    CGContextSaveGState(context);
    CGContextClipToRect(context, *clip);
  }
  if (onGrid) {
    context->fillMasks(masks, rgba);
  } else if (!masks.empty()) {
    drawLinePicture(masks, rgba, origin, baselineY, scale, context);
  }
  for (const ColorGlyph& g : colorGlyphs) {
    CALayerRendering::drawImageFlipped(context, g.rect, g.image);
  }
  if (clips) CGContextRestoreGState(context);
  spareMasks = std::move(masks);
}

void UIFont::drawLinePicture(const std::vector<CGPixelMask>& masks, const double rgba[4],
                             CGPoint origin, double baselineY, double scale,
                             const CGContextRef& context) const {
  // The masks sit around the baseline at x = 0; one bitmap holds them all,
  // drawn through the transform.
  int x0 = 0, y0 = 0, x1 = 1, y1 = 1;
  for (const CGPixelMask& m : masks) {
    x0 = std::min(x0, m.x), y0 = std::min(y0, m.y);
    x1 = std::max(x1, m.x + m.width), y1 = std::max(y1, m.y + m.height);
  }
  const int w = x1 - x0, h = y1 - y0;
  auto line = CGBitmapContextCreate(nullptr, size_t(w), size_t(h), 8, 0,
                                    CGColorSpaceCreateDeviceRGB(),
                                    kCGImageAlphaPremultipliedLast | kCGBitmapByteOrder32Big);
  if (!line) return;
  std::vector<CGPixelMask> moved = masks;
  for (CGPixelMask& m : moved) m.x -= x0, m.y -= y0;
  line->fillMasks(moved, rgba);
  auto image = CGBitmapContextCreateImage(line);
  if (!image) return;
  CALayerRendering::drawImageFlipped(
      context, CGRectMake(origin.x + x0 / scale, baselineY + y0 / scale, w / scale, h / scale),
      image);
}

bool UIFont::isEqual(const NSObject& other) const {
  auto* f = dynamic_cast<const UIFont*>(&other);
  return f && f->name_ == name_ && f->pointSize_ == pointSize_ && f->file_ == file_;
}

size_t UIFont::hash() const { return std::hash<std::string>()(name_) ^ size_t(pointSize_ * 64); }

std::string UIFont::description() const {
  return "<UIFont: " + name_ + " " + std::to_string(pointSize_) + "pt>";
}

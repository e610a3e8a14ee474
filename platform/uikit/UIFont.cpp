#include "platform/uikit/UIFont.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include <unicode/uchar.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include FT_ADVANCES_H

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "platform/foundation/OSLog.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/UTF8.h"
#include "platform/quartzcore/CALayerRendering.h"

namespace {

const char* const kFontFolder = "/usr/share/fonts/truetype/dejavu/";
const char* const kRegularFile = "DejaVuSans.ttf";
const char* const kBoldFile = "DejaVuSans-Bold.ttf";
const char* const kLightFile = "DejaVuSans-ExtraLight.ttf";

struct FaceMetrics {
  double ascender = 0.8, descender = -0.2, height = 1.2, cap = 0.7, x = 0.5;  // in em
};

// A glyph rendered once at one pixel size: its coverage (rows a multiple of
// 4 bytes apart, as the compositor takes them) or, for colour glyphs, its
// premultiplied picture drawn `colorScale` device pixels a bitmap pixel; and
// where it sits against the pen on the baseline.
struct Glyph {
  int left = 0, top = 0;
  int width = 0, rows = 0, stride = 0;
  std::shared_ptr<const std::vector<uint8_t>> coverage;
  CGImageRef color;
  double colorScale = 1;
};

// A face: a font file and the index of the face inside it.
struct FaceId {
  std::string path;
  int index = 0;
  bool operator<(const FaceId& o) const { return std::tie(path, index) < std::tie(o.path, o.index); }
  bool operator==(const FaceId& o) const { return path == o.path && index == o.index; }
};

struct GlyphKey {
  FT_Face face;
  long size26_6;  // pixels per em, 26.6 fixed point
  FT_UInt index;
  bool operator<(const GlyphKey& o) const {
    return std::tie(size26_6, index, face) < std::tie(o.size26_6, o.index, o.face);
  }
};

// A code point as drawn: the face that has it (the font's own, or one found
// through fontconfig) and the glyph there; face nullptr draws nothing.
struct Resolved {
  FT_Face face = nullptr;
  FT_UInt glyph = 0;
};

// Rendering a glyph costs far more than copying it: labels keep drawing the
// same few glyphs at the same few sizes.
constexpr size_t kMaxCachedGlyphs = 4096;

// FreeType faces, opened once, and the glyphs rendered from them. The
// library is not thread-safe: every use of a face holds the mutex.
struct Faces {
  std::mutex mutex;
  FT_Library library = nullptr;
  std::map<FaceId, FT_Face> byId;  // guarded by mutex
  std::map<GlyphKey, Glyph> glyphs;  // guarded by mutex
  std::map<std::string, FaceMetrics> metrics;  // guarded by mutex
  // Faces fontconfig gave for code points the fonts lack, in the order
  // found (asked first for the next such code point), and its answers.
  std::vector<FT_Face> fallbacks;  // guarded by mutex
  std::map<char32_t, FT_Face> fallbackFor;  // guarded by mutex
};

Faces& faces() {
  static Faces* f = [] {
    auto* all = new Faces();  // lives for the process: faces are shared
    if (FT_Init_FreeType(&all->library) != 0) all->library = nullptr;
    return all;
  }();
  return *f;
}

// nullptr (logged once per face) when the face cannot be opened.
FT_Face openFaceLocked(const FaceId& id) {
  auto& f = faces();
  auto it = f.byId.find(id);
  if (it != f.byId.end()) return it->second;
  FT_Face face = nullptr;
  if (!f.library || FT_New_Face(f.library, id.path.c_str(), id.index, &face) != 0) {
    NSLog("UIFont: cannot open " + id.path + " (tools/install-deps installs the faces)");
    face = nullptr;
  }
  f.byId[id] = face;
  return face;
}

FT_Face faceLocked(const std::string& file) { return openFaceLocked({kFontFolder + file, 0}); }

// Marks and joiners that draw nothing of their own here (there is no
// shaping to combine them): variation selectors, zero-width joiners and
// spaces, the byte-order mark.
bool drawsNothing(char32_t cp) {
  return (cp >= 0x200B && cp <= 0x200F) || (cp >= 0xFE00 && cp <= 0xFE0F) || cp == 0x2060 ||
         cp == 0xFEFF || (cp >= 0xE0100 && cp <= 0xE01EF);
}

// A face fontconfig knows that has the code point, preferring sans-serif
// faces; nullptr when none has it.
FT_Face fontconfigFaceLocked(char32_t cp, bool colour) {
  static FcConfig* config = [] {
    FcConfig* loaded = FcInitLoadConfigAndFonts();
    // fontconfig frees what it keeps only when told to at the end.
    std::atexit([] {
      if (config) FcConfigDestroy(config);
      FcFini();
    });
    return loaded;
  }();
  if (!config) return nullptr;
  FcPattern* pattern = FcPatternCreate();
  FcCharSet* wanted = FcCharSetCreate();
  FcCharSetAddChar(wanted, cp);
  FcPatternAddCharSet(pattern, FC_CHARSET, wanted);
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("sans-serif"));
  if (colour) FcPatternAddBool(pattern, FC_COLOR, FcTrue);
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcFontSet* sorted = FcFontSort(config, pattern, FcFalse, nullptr, &result);
  FT_Face found = nullptr;
  for (int i = 0; sorted && i < sorted->nfont && !found; ++i) {
    FcCharSet* has = nullptr;
    FcChar8* file = nullptr;
    int index = 0;
    FcPattern* font = sorted->fonts[i];
    if (FcPatternGetCharSet(font, FC_CHARSET, 0, &has) != FcResultMatch ||
        !FcCharSetHasChar(has, cp) ||
        FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch) {
      continue;
    }
    FcPatternGetInteger(font, FC_INDEX, 0, &index);
    FT_Face face = openFaceLocked({reinterpret_cast<const char*>(file), index});
    if (face && FT_Get_Char_Index(face, cp) != 0 && (!colour || FT_HAS_COLOR(face))) found = face;
  }
  if (sorted) FcFontSetDestroy(sorted);
  FcCharSetDestroy(wanted);
  FcPatternDestroy(pattern);
  return found;
}

// Whether `cp` reads as an emoji picture by default (or `next` asks for
// one with the emoji variation selector).
bool wantsColour(char32_t cp, char32_t next) {
  return next == 0xFE0F || u_hasBinaryProperty(UChar32(cp), UCHAR_EMOJI_PRESENTATION);
}

// A fallback face for `cp`: one already opened that has it, else one
// fontconfig finds; with `colour`, colour faces only.
FT_Face fallbackLocked(char32_t cp, bool colour) {
  auto& f = faces();
  const char32_t key = cp | (colour ? 0x80000000u : 0);
  auto known = f.fallbackFor.find(key);
  if (known != f.fallbackFor.end()) return known->second;
  FT_Face face = nullptr;
  for (FT_Face candidate : f.fallbacks) {
    if (FT_Get_Char_Index(candidate, cp) != 0 && (!colour || FT_HAS_COLOR(candidate))) {
      face = candidate;
      break;
    }
  }
  if (!face) {
    face = fontconfigFaceLocked(cp, colour);
    if (face && std::find(f.fallbacks.begin(), f.fallbacks.end(), face) == f.fallbacks.end()) {
      f.fallbacks.push_back(face);
    }
  }
  f.fallbackFor[key] = face;
  return face;
}

// The face and glyph that draw `cp` (followed by `next`) in a font whose
// own face is `primary`: emoji from a colour face when one has them, else
// the primary face when it has the glyph, else the first fallback face
// that has it, else the primary face's missing-glyph box.
Resolved resolveLocked(FT_Face primary, char32_t cp, char32_t next) {
  if (drawsNothing(cp)) return {};
  if (!primary) return {};
  if (wantsColour(cp, next)) {
    if (FT_Face face = fallbackLocked(cp, true)) return {face, FT_Get_Char_Index(face, cp)};
  }
  if (FT_UInt g = FT_Get_Char_Index(primary, cp)) return {primary, g};
  FT_Face face = fallbackLocked(cp, false);
  if (!face) return {primary, 0};
  return {face, FT_Get_Char_Index(face, cp)};
}

// The advance of the glyph in ems. Bitmap faces (colour emoji) have no
// font units: their advance is read at their first strike.
double emAdvanceOf(const Resolved& r) {
  FT_Fixed advance = 0;
  if (FT_IS_SCALABLE(r.face) && r.face->units_per_EM > 0) {
    FT_Get_Advance(r.face, r.glyph, FT_LOAD_NO_SCALE, &advance);
    return double(advance) / r.face->units_per_EM;
  }
  if (r.face->num_fixed_sizes < 1 || FT_Select_Size(r.face, 0) != 0) return 0;
  const double ppem = r.face->available_sizes[0].y_ppem / 64.0;
  if (ppem <= 0 || FT_Get_Advance(r.face, r.glyph, FT_LOAD_COLOR, &advance) != 0) return 0;
  return double(advance) / 65536.0 / ppem;
}

// The advance of the glyph in points for a font of `pointSize`.
double advanceOf(const Resolved& r, double pointSize) {
  if (!r.face) return 0;
  return emAdvanceOf(r) * pointSize;
}

// Kerning between two glyphs of one face, in points.
double kerningOf(const Resolved& previous, const Resolved& r, double pointSize) {
  if (!r.face || previous.face != r.face || !previous.glyph || !FT_HAS_KERNING(r.face) ||
      r.face->units_per_EM == 0) {
    return 0;
  }
  FT_Vector kern;
  if (FT_Get_Kerning(r.face, previous.glyph, r.glyph, FT_KERNING_UNSCALED, &kern) != 0) return 0;
  return double(kern.x) * pointSize / r.face->units_per_EM;
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

// The glyph rendered at `size26_6` pixels per em; the face's size is set
// to it. Faces' mutex held.
const Glyph& glyphLocked(FT_Face face, long size26_6, FT_UInt index) {
  auto& cache = faces().glyphs;
  GlyphKey key{face, size26_6, index};
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  if (cache.size() >= kMaxCachedGlyphs) cache.clear();
  Glyph glyph;
  if (FT_HAS_COLOR(face) && !FT_IS_SCALABLE(face)) {
    glyph = colorGlyphLocked(face, size26_6 / 64.0, index);
  } else {
    FT_Set_Char_Size(face, 0, size26_6, 72, 72);
    if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_NO_HINTING) == 0 &&
        face->glyph->bitmap.pixel_mode == FT_PIXEL_MODE_GRAY) {
      const FT_Bitmap& bm = face->glyph->bitmap;
      glyph.left = face->glyph->bitmap_left;
      glyph.top = face->glyph->bitmap_top;
      glyph.width = int(bm.width);
      glyph.rows = int(bm.rows);
      glyph.stride = (glyph.width + 3) & ~3;
      auto coverage = std::make_shared<std::vector<uint8_t>>(size_t(glyph.stride) * bm.rows, 0);
      for (unsigned row = 0; row < bm.rows; ++row) {
        const uint8_t* line = bm.buffer + long(row) * bm.pitch;
        std::copy(line, line + bm.width, coverage->begin() + long(row) * glyph.stride);
      }
      glyph.coverage = std::move(coverage);
    }
  }
  return cache.emplace(key, std::move(glyph)).first->second;
}

std::string fileForWeight(UIFontWeight w) {
  if (w >= UIFontWeightSemibold) return kBoldFile;
  if (w <= UIFontWeightThin) return kLightFile;
  return kRegularFile;
}

FaceMetrics metricsOf(const std::string& file) {
  std::lock_guard<std::mutex> lock(faces().mutex);
  auto known = faces().metrics.find(file);
  if (known != faces().metrics.end()) return known->second;
  FaceMetrics& m = faces().metrics[file];
  FT_Face face = faceLocked(file);
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

// A glyph placed on the line: its pen position in points from the line's start.
struct PlacedGlyph {
  Resolved resolved;
  double pen = 0;
};

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

double UIFont::ascender() const { return metricsOf(file_).ascender * pointSize_; }
double UIFont::descender() const { return metricsOf(file_).descender * pointSize_; }
double UIFont::lineHeight() const { return metricsOf(file_).height * pointSize_; }
double UIFont::capHeight() const { return metricsOf(file_).cap * pointSize_; }
double UIFont::xHeight() const { return metricsOf(file_).x * pointSize_; }

double UIFont::widthOfText(const std::string& text) const {
  std::lock_guard<std::mutex> lock(faces().mutex);
  FT_Face face = faceLocked(file_);
  auto codePoints = UTF8CodePoints(text);
  if (!face) return 0.6 * pointSize_ * double(codePoints.size());
  double width = 0;
  Resolved previous;
  for (size_t i = 0; i < codePoints.size(); ++i) {
    const char32_t cp = codePoints[i];
    Resolved r = resolveLocked(face, cp, i + 1 < codePoints.size() ? codePoints[i + 1] : 0);
    if (!r.face) continue;
    width += kerningOf(previous, r, pointSize_) + advanceOf(r, pointSize_);
    previous = r;
  }
  return width;
}

void UIFont::drawText(const std::string& text, CGPoint origin, const CGColorRef& color,
                      const CGContextRef& context) const {
  if (!context || !color || text.empty()) return;
  const CGAffineTransform ctm = CGContextGetCTM(context);
  const double scale = std::max(1.0, std::sqrt(std::fabs(ctm.a * ctm.d - ctm.b * ctm.c)));
  const FaceMetrics m = metricsOf(file_);
  double rgba[4];
  color->getRGBA(rgba);
  const double lineTop = (m.height - (m.ascender - m.descender)) / 2;  // half the leading
  const double baselineY = origin.y + (lineTop + m.ascender) * pointSize_;
  const long size26_6 = std::lround(pointSize_ * scale * 64);

  // Upright text in a y-down space (a UIKit context) lands glyph by glyph on
  // whole device pixels; any other transform draws the line as a picture.
  const bool onGrid = ctm.b == 0 && ctm.c == 0 && ctm.a > 0 && ctm.d < 0 &&
                      std::fabs(ctm.a + ctm.d) < 1e-9;
  std::vector<CGPixelMask> masks;
  std::vector<std::shared_ptr<const std::vector<uint8_t>>> keep;  // alive while drawn
  struct ColorGlyph {
    CGImageRef image;
    CGRect rect;  // in user space
  };
  std::vector<ColorGlyph> colorGlyphs;
  // Device pixels of the line: the pen's x and the baseline's row.
  const double height = double(CGBitmapContextGetHeight(context));
  const double penX = ctm.a * origin.x + ctm.tx;
  const double baseRow = height - (ctm.d * baselineY + ctm.ty);
  double pen = 0;
  std::vector<PlacedGlyph> placed;
  {
    std::lock_guard<std::mutex> lock(faces().mutex);
    FT_Face face = faceLocked(file_);
    if (!face) return;
    Resolved previous;
    const auto codePoints = UTF8CodePoints(text);
    for (size_t i = 0; i < codePoints.size(); ++i) {
      const char32_t cp = codePoints[i];
      Resolved r = resolveLocked(face, cp, i + 1 < codePoints.size() ? codePoints[i + 1] : 0);
      if (!r.face) continue;
      pen += kerningOf(previous, r, pointSize_);
      placed.push_back({r, pen});
      pen += advanceOf(r, pointSize_);
      previous = r;
    }
    for (const PlacedGlyph& g : placed) {
      const Glyph& bm = glyphLocked(g.resolved.face, size26_6, g.resolved.glyph);
      if (bm.color) {
        const double s = bm.colorScale / scale;  // points a bitmap pixel
        colorGlyphs.push_back(
            {bm.color, CGRectMake(origin.x + g.pen + bm.left / scale, baselineY - bm.top / scale,
                                  bm.width * s, bm.rows * s)});
        continue;
      }
      if (!bm.coverage) continue;
      if (onGrid) {
        masks.push_back({bm.coverage->data(), bm.stride, bm.width, bm.rows,
                         int(std::lround(penX + g.pen * scale)) + bm.left,
                         int(std::lround(baseRow)) - bm.top});
      } else {
        masks.push_back({bm.coverage->data(), bm.stride, bm.width, bm.rows,
                         int(std::lround(g.pen * scale)) + bm.left, -bm.top});
      }
      keep.push_back(bm.coverage);
    }
  }
  if (onGrid) {
    context->fillMasks(masks, rgba);
  } else if (!masks.empty()) {
    drawLinePicture(masks, rgba, origin, baselineY, scale, context);
  }
  for (const ColorGlyph& g : colorGlyphs) {
    CALayerRendering::drawImageFlipped(context, g.rect, g.image);
  }
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

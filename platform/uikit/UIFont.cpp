#include "platform/uikit/UIFont.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include FT_ADVANCES_H

#include <algorithm>
#include <cmath>
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

// A glyph rendered once at one pixel size: its coverage bitmap and where it
// sits against the pen on the baseline.
struct Glyph {
  int left = 0, top = 0;
  unsigned width = 0, rows = 0;
  std::vector<uint8_t> coverage;
};

struct GlyphKey {
  std::string file;
  long size26_6;  // pixels per em, 26.6 fixed point
  FT_UInt index;
  bool operator<(const GlyphKey& o) const {
    return std::tie(size26_6, index, file) < std::tie(o.size26_6, o.index, o.file);
  }
};

// Rendering a glyph costs far more than copying it: labels keep drawing the
// same few glyphs at the same few sizes.
constexpr size_t kMaxCachedGlyphs = 4096;

// FreeType faces by file, opened once, and the glyphs rendered from them.
// The library is not thread-safe: every use of a face holds the mutex.
struct Faces {
  std::mutex mutex;
  FT_Library library = nullptr;
  std::map<std::string, FT_Face> byFile;  // guarded by mutex
  std::map<GlyphKey, Glyph> glyphs;  // guarded by mutex
  std::map<std::string, FaceMetrics> metrics;  // guarded by mutex
};

Faces& faces() {
  static Faces* f = [] {
    auto* all = new Faces();  // lives for the process: faces are shared
    if (FT_Init_FreeType(&all->library) != 0) all->library = nullptr;
    return all;
  }();
  return *f;
}

// nullptr (logged once per file) when the face cannot be opened.
FT_Face faceLocked(const std::string& file) {
  auto& f = faces();
  auto it = f.byFile.find(file);
  if (it != f.byFile.end()) return it->second;
  FT_Face face = nullptr;
  std::string path = kFontFolder + file;
  if (!f.library || FT_New_Face(f.library, path.c_str(), 0, &face) != 0) {
    NSLog("UIFont: cannot open " + path + " (install fonts-dejavu-core)");
    face = nullptr;
  }
  f.byFile[file] = face;
  return face;
}

// The glyph rendered at `size26_6` pixels per em; the face's size is set
// to it. Faces' mutex held.
const Glyph& glyphLocked(FT_Face face, const std::string& file, long size26_6, FT_UInt index) {
  auto& cache = faces().glyphs;
  GlyphKey key{file, size26_6, index};
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  if (cache.size() >= kMaxCachedGlyphs) cache.clear();
  Glyph glyph;
  FT_Set_Char_Size(face, 0, size26_6, 72, 72);
  if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_NO_HINTING) == 0) {
    const FT_Bitmap& bm = face->glyph->bitmap;
    glyph.left = face->glyph->bitmap_left;
    glyph.top = face->glyph->bitmap_top;
    glyph.width = bm.width;
    glyph.rows = bm.rows;
    glyph.coverage.resize(size_t(bm.width) * bm.rows);
    for (unsigned row = 0; row < bm.rows; ++row) {
      const uint8_t* line = bm.buffer + long(row) * bm.pitch;
      std::copy(line, line + bm.width, glyph.coverage.begin() + long(row) * bm.width);
    }
  }
  return cache.emplace(std::move(key), std::move(glyph)).first->second;
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
  long units = 0;
  FT_UInt previous = 0;
  for (char32_t cp : codePoints) {
    FT_UInt glyph = FT_Get_Char_Index(face, cp);
    FT_Fixed advance = 0;
    FT_Get_Advance(face, glyph, FT_LOAD_NO_SCALE, &advance);
    units += advance;
    if (previous && FT_HAS_KERNING(face)) {
      FT_Vector kern;
      if (FT_Get_Kerning(face, previous, glyph, FT_KERNING_UNSCALED, &kern) == 0) units += kern.x;
    }
    previous = glyph;
  }
  return double(units) * pointSize_ / face->units_per_EM;
}

void UIFont::drawText(const std::string& text, CGPoint origin, const CGColorRef& color,
                      const CGContextRef& context) const {
  if (!context || !color || text.empty()) return;
  CGAffineTransform ctm = CGContextGetCTM(context);
  const double scale = std::max(1.0, std::sqrt(std::fabs(ctm.a * ctm.d - ctm.b * ctm.c)));
  const double width = widthOfText(text);
  const FaceMetrics m = metricsOf(file_);
  double rgba[4];
  color->getRGBA(rgba);

  // One premultiplied bitmap for the line, with room for glyphs that reach
  // past their advance or the line box.
  const int margin = int(std::ceil(0.3 * pointSize_ * scale)) + 1;
  const double lineTop = (m.height - (m.ascender - m.descender)) / 2;  // half the leading
  const int w = int(std::ceil(width * scale)) + 2 * margin;
  const int h = int(std::ceil(m.height * pointSize_ * scale)) + 2 * margin;
  std::vector<uint8_t> pixels(size_t(w) * size_t(h) * 4, 0);
  const double baseline = margin + (lineTop + m.ascender) * pointSize_ * scale;
  {
    std::lock_guard<std::mutex> lock(faces().mutex);
    FT_Face face = faceLocked(file_);
    if (!face) return;
    const long size26_6 = std::lround(pointSize_ * scale * 64);
    const double unitsToPixels = pointSize_ * scale / face->units_per_EM;
    double pen = margin;
    FT_UInt previous = 0;
    for (char32_t cp : UTF8CodePoints(text)) {
      FT_UInt glyph = FT_Get_Char_Index(face, cp);
      if (previous && FT_HAS_KERNING(face)) {
        FT_Vector kern;
        if (FT_Get_Kerning(face, previous, glyph, FT_KERNING_UNSCALED, &kern) == 0) {
          pen += double(kern.x) * unitsToPixels;
        }
      }
      previous = glyph;
      FT_Fixed advance = 0;
      FT_Get_Advance(face, glyph, FT_LOAD_NO_SCALE, &advance);
      {
        const Glyph& bm = glyphLocked(face, file_, size26_6, glyph);
        int left = int(std::lround(pen)) + bm.left;
        int top = int(std::lround(baseline)) - bm.top;
        for (unsigned row = 0; row < bm.rows; ++row) {
          int y = top + int(row);
          if (y < 0 || y >= h) continue;
          for (unsigned col = 0; col < bm.width; ++col) {
            int x = left + int(col);
            if (x < 0 || x >= w) continue;
            double coverage = bm.coverage[row * bm.width + col] / 255.0 * rgba[3];
            uint8_t* px = &pixels[(size_t(y) * size_t(w) + size_t(x)) * 4];
            // Overlapping glyphs: source-over.
            for (int k = 0; k < 4; ++k) {
              double src = k < 3 ? rgba[k] * coverage : coverage;
              px[k] = uint8_t(std::lround(src * 255 + px[k] * (1 - coverage)));
            }
          }
        }
      }
      pen += double(advance) * unitsToPixels;
    }
  }
  auto image = CGImage::create(size_t(w), size_t(h), 8, 32, size_t(w) * 4,
                               kCGImageAlphaPremultipliedLast,
                               std::make_shared<const Bytes>(std::move(pixels)));
  if (!image) return;
  CALayerRendering::drawImageFlipped(
      context,
      CGRectMake(origin.x - margin / scale, origin.y - margin / scale, w / scale, h / scale),
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

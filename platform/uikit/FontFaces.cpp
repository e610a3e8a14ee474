#include "platform/uikit/internal/FontFaces.h"

#include <fontconfig/fontconfig.h>
#include <hb-ft.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/OSLog.h"

namespace {

const char* const kFontFolder = "/usr/share/fonts/truetype/dejavu/";

// A face: a font file and the index of the face inside it.
struct FaceId {
  std::string path;
  int index = 0;
  bool operator<(const FaceId& o) const {
    return std::tie(path, index) < std::tie(o.path, o.index);
  }
};

struct HarfBuzzFont {
  hb_font_t* font = nullptr;
  unsigned upem = 1;
};

struct Faces {
  Mutex mutex;  // guards the library, the faces and everything below
  FT_Library library = nullptr;
  std::map<FaceId, FT_Face> byId;
  // Faces fontconfig gave for code points the fonts lack, in the order
  // found (asked first for the next such code point), and its answers.
  std::vector<FT_Face> fallbacks;
  std::map<char32_t, FT_Face> fallbackFor;
  std::map<FT_Face, HarfBuzzFont> harfBuzz;
  std::map<std::string, FT_Face> byScript;  // by script name and weight
  // The system face asked for last: every line shaped asks again.
  std::string lastSystemFile;
  FT_Face lastSystemFace = nullptr;
  bool lastSystemKnown = false;
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
FT_Face openFaceLocked(const FaceId& id) REQUIRES(FontFacesMutex()) {
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

FcConfig* fontconfig() {
  static FcConfig* config = [] {
    FcConfig* loaded = FcInitLoadConfigAndFonts();
    // fontconfig frees what it keeps only when told to at the end.
    std::atexit([] {
      if (config) FcConfigDestroy(config);
      FcFini();
    });
    return loaded;
  }();
  return config;
}

// A face fontconfig knows that has the code point, preferring sans-serif
// faces; nullptr when none has it.
FT_Face fontconfigFaceLocked(char32_t cp, bool colour) REQUIRES(FontFacesMutex()) {
  FcConfig* config = fontconfig();
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

}  // namespace

Mutex& FontFacesMutex() { return faces().mutex; }

FT_Face SystemFontFaceLocked(const std::string& file) {
  auto& f = faces();
  if (f.lastSystemKnown && file == f.lastSystemFile) return f.lastSystemFace;
  FT_Face face = openFaceLocked({kFontFolder + file, 0});
  f.lastSystemFile = file;
  f.lastSystemFace = face;
  f.lastSystemKnown = true;
  return face;
}

FT_Face FallbackFontFaceLocked(char32_t cp, bool colour) {
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

namespace {

// The upright face of `family` nearest to the weight asked; nullptr when
// the family is not installed.
FT_Face familyFaceLocked(const std::string& family, bool bold) REQUIRES(FontFacesMutex()) {
  FcConfig* config = fontconfig();
  if (!config) return nullptr;
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
  FcObjectSet* wanted = FcObjectSetBuild(FC_FILE, FC_INDEX, FC_WEIGHT, nullptr);
  FcFontSet* fonts = FcFontList(config, pattern, wanted);
  const int weight = bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR;
  FcChar8* best = nullptr;
  int bestIndex = 0, bestDistance = 0;
  for (int i = 0; fonts && i < fonts->nfont; ++i) {
    FcChar8* file = nullptr;
    int index = 0, w = FC_WEIGHT_REGULAR;
    if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) != FcResultMatch) continue;
    FcPatternGetInteger(fonts->fonts[i], FC_INDEX, 0, &index);
    FcPatternGetInteger(fonts->fonts[i], FC_WEIGHT, 0, &w);
    if (!best || std::abs(w - weight) < bestDistance) {
      best = file, bestIndex = index, bestDistance = std::abs(w - weight);
    }
  }
  FT_Face face = best ? openFaceLocked({reinterpret_cast<const char*>(best), bestIndex}) : nullptr;
  if (fonts) FcFontSetDestroy(fonts);
  FcObjectSetDestroy(wanted);
  FcPatternDestroy(pattern);
  return face;
}

}  // namespace

FT_Face ScriptFontFaceLocked(const std::string& script, bool bold) {
  auto& known = faces().byScript;
  const std::string key = script + (bold ? "/bold" : "");
  auto it = known.find(key);
  if (it != known.end()) return it->second;
  FT_Face face = familyFaceLocked("Noto Sans " + script + " UI", bold);
  if (!face) face = familyFaceLocked("Noto Sans " + script, bold);
  known[key] = face;
  return face;
}

namespace {

const HarfBuzzFont& harfBuzzLocked(FT_Face face) REQUIRES(FontFacesMutex()) {
  auto& fonts = faces().harfBuzz;
  auto it = fonts.find(face);
  if (it != fonts.end()) return it->second;
  // HarfBuzz reads the tables through FreeType but places glyphs itself, in
  // design units: unhinted, so widths scale exactly with the point size.
  // Bitmap-only faces (colour emoji) have no em in FreeType's eyes; their
  // tables still give one.
  hb_face_t* hbFace = hb_ft_face_create_referenced(face);
  HarfBuzzFont made;
  made.upem = std::max(1u, hb_face_get_upem(hbFace));
  made.font = hb_font_create(hbFace);
  hb_face_destroy(hbFace);
  hb_font_set_scale(made.font, int(made.upem), int(made.upem));
  return fonts.emplace(face, made).first->second;
}

}  // namespace

hb_font_t* HarfBuzzFontLocked(FT_Face face) { return harfBuzzLocked(face).font; }

unsigned HarfBuzzUnitsPerEm(FT_Face face) { return harfBuzzLocked(face).upem; }

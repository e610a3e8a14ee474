#include "platform/uikit/internal/TextShaper.h"

#include <fribidi.h>
#include <hb.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utext.h>

#include <algorithm>
#include <climits>
#include <unordered_map>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/UTF8.h"
#include "platform/uikit/internal/FontFaces.h"

namespace {

// Shaping a line costs far more than finding it again: labels keep
// measuring and drawing the same few lines.
constexpr size_t kMaxCachedLines = 2048;
constexpr size_t kMaxCachedGlyphs = 256 * 1024;
// Words shaped on their own, kept for lines that share them.
constexpr size_t kMaxCachedWords = 4096;

// A cache of a fixed number of entries in sets of two, each key in the set
// its hash picks, the one found or put last first. Finding a key reads one
// set, and an entry another key takes over keeps its storage: a label whose
// text changes every frame brings a new line and new words each time, and
// allocating, chasing and freeing the nodes of a map for them costs more
// than shaping them.
template <typename Value>
class SetCache {
 public:
  struct Entry {
    size_t hash = 0;
    const void* tag = nullptr;  // part of the key kept apart, to keep `key` short
    std::string key;
    Value value{};
    bool used = false;
  };

  explicit SetCache(size_t entries) : entries_(entries) {}  // a power of two, 2 or more

  // The value kept under `tag` and `key` (whose hash is `hash`); nullptr
  // when none.
  Value* find(const void* tag, const std::string& key, size_t hash) {
    Entry* set = setOf(hash);
    for (int way = 0; way < 2; ++way) {
      const Entry& e = set[way];
      if (e.used && e.hash == hash && e.tag == tag && e.key == key) {
        if (way == 1) std::swap(set[0], set[1]);
        return &set[0].value;
      }
    }
    return nullptr;
  }

  // The entry `tag` and `key` now have, first in its set: the one there
  // last time it was full, its value (for its storage) still the old key's.
  Entry& insert(const void* tag, const std::string& key, size_t hash) {
    Entry* set = setOf(hash);
    std::swap(set[0], set[1]);
    set[0].hash = hash;
    set[0].tag = tag;
    set[0].key.assign(key);
    set[0].used = true;
    return set[0];
  }

  void clear() {
    for (Entry& e : entries_) {
      e.used = false;
      e.value = Value{};
    }
  }

 private:
  Entry* setOf(size_t hash) { return &entries_[(hash & (entries_.size() / 2 - 1)) * 2]; }
  std::vector<Entry> entries_;
};

// The code points of valid UTF-8 text (ValidUTF8 made it so) and the byte
// offset of each, the text's size last.
struct Decoded {
  std::vector<FriBidiChar> cps;
  std::vector<size_t> offsets;
};

Decoded decode(const std::string& text) {
  Decoded d;
  d.cps.reserve(text.size());
  d.offsets.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    FriBidiChar cp = n == 1 ? lead : n == 2 ? lead & 0x1F : n == 3 ? lead & 0x0F : lead & 0x07;
    for (size_t k = 1; k < n && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    d.offsets.push_back(i);
    d.cps.push_back(cp);
    i += n;
  }
  d.offsets.push_back(text.size());
  return d;
}

// An ICU break iterator of one kind, opened once per thread (opening one
// loads its rules) and pointed at each text in turn.
class BreakIterator {
 public:
  explicit BreakIterator(UBreakIteratorType type) {
    UErrorCode status = U_ZERO_ERROR;
    iterator_ = ubrk_open(type, "", nullptr, 0, &status);
    if (U_FAILURE(status)) iterator_ = nullptr;
  }
  ~BreakIterator() {
    if (iterator_) ubrk_close(iterator_);
  }
  BreakIterator(const BreakIterator&) = delete;
  BreakIterator& operator=(const BreakIterator&) = delete;

  // The boundaries after the start of UTF-8 `text`, in bytes; the text's
  // size alone when ICU cannot iterate it.
  std::vector<size_t> boundaries(const std::string& text) {
    std::vector<size_t> out;
    if (text.empty()) return out;
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, text.data(), int64_t(text.size()), &status);
    if (iterator_ && U_SUCCESS(status)) ubrk_setUText(iterator_, ut, &status);
    if (iterator_ && U_SUCCESS(status)) {
      for (int32_t b = ubrk_next(iterator_); b != UBRK_DONE; b = ubrk_next(iterator_)) {
        out.push_back(size_t(b));
      }
    }
    utext_close(ut);
    if (out.empty() || out.back() != text.size()) out.push_back(text.size());
    return out;
  }

 private:
  UBreakIterator* iterator_ = nullptr;
};

BreakIterator& breakIterator(TextBreak kind) {
  thread_local BreakIterator line(UBRK_LINE), character(UBRK_CHARACTER);
  return kind == TextBreak::Line ? line : character;
}

// Characters below these draw left to right, stand alone as clusters and
// never read as emoji by default: most lines need no bidi, cluster or
// emoji look-ups at all.
constexpr FriBidiChar kFirstRightToLeft = 0x0590;  // Hebrew
constexpr FriBidiChar kFirstCombining = 0x0300;
constexpr FriBidiChar kFirstEmojiPresentation = 0x231A;

bool ignorable(char32_t cp) {
  return cp >= 0xAD && u_hasBinaryProperty(UChar32(cp), UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
}

bool isValidUTF8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {  // most text is ASCII
      ++i;
      continue;
    }
    const size_t n = UTF8SequenceLength(text.data() + i, text.size() - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Whether the face has a glyph for the character. Every character of every
// line is looked up, and FreeType's look-up costs about what shaping the
// character does: the answers below U+0300 are kept for each face (faces
// live for the process). Guarded by the faces' mutex.
bool hasGlyphLocked(FT_Face face, FriBidiChar cp) {
  constexpr FriBidiChar kKept = kFirstCombining;
  if (cp >= kKept) return FT_Get_Char_Index(face, cp) != 0;
  enum : uint8_t { kUnknown, kAbsent, kPresent };
  static std::unordered_map<FT_Face, std::vector<uint8_t>> known;
  static FT_Face lastFace = nullptr;  // a line asks of one face again and again
  static std::vector<uint8_t>* lastAnswers = nullptr;
  if (face != lastFace || !lastAnswers) {
    lastAnswers = &known[face];  // elements stay where they are as the map grows
    lastFace = face;
    if (lastAnswers->empty()) lastAnswers->assign(kKept, kUnknown);
  }
  uint8_t& answer = (*lastAnswers)[cp];
  if (answer == kUnknown) answer = FT_Get_Char_Index(face, cp) != 0 ? kPresent : kAbsent;
  return answer == kPresent;
}

// Whether the face has every character of the cluster that draws.
bool coversLocked(FT_Face face, const FriBidiChar* cps, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!ignorable(cps[i]) && !hasGlyphLocked(face, cps[i])) return false;
  }
  return true;
}

// Whether the cluster reads as an emoji picture: a character that is one by
// default, or one asked to be (U+FE0F). Joined and tinted emoji need no rule
// of their own: only colour faces have the whole cluster.
bool wantsColour(const FriBidiChar* cps, size_t n) {
  if (n == 1 && cps[0] < kFirstEmojiPresentation) return false;
  for (size_t i = 0; i < n; ++i) {
    if (cps[i] == 0xFE0E) return false;
    if (cps[i] == 0xFE0F) return true;
  }
  return u_hasBinaryProperty(UChar32(cps[0]), UCHAR_EMOJI_PRESENTATION);
}

// Whether the system font stands in for the platform's own face of the
// script: Latin, Greek and Cyrillic (and what they share with others).
bool systemFontScript(UScriptCode script) {
  return script == USCRIPT_LATIN || script == USCRIPT_COMMON || script == USCRIPT_GREEK ||
         script == USCRIPT_CYRILLIC;
}

// The face that draws a cluster of `script` in a font whose own face is
// `primary`: emoji from a colour face when one has them; text in a script
// the system font is not made for from that script's own face when one is
// installed and has the cluster, as the platform's font cascade does; else
// the primary face when it has the whole cluster, else the face fontconfig
// gives for the first character it lacks, else the primary face's
// missing-glyph box.
FT_Face faceForClusterLocked(FT_Face primary, const FriBidiChar* cps, size_t n,
                             UScriptCode script) REQUIRES(FontFacesMutex()) {
  if (wantsColour(cps, n)) {
    if (FT_Face face = FallbackFontFaceLocked(cps[0], true)) return face;
  }
  if (!systemFontScript(script)) {
    std::string name = uscript_getName(script);
    std::replace(name.begin(), name.end(), '_', ' ');
    const bool bold = primary->style_flags & FT_STYLE_FLAG_BOLD;
    FT_Face face = ScriptFontFaceLocked(name, bold);
    if (face && coversLocked(face, cps, n)) return face;
  }
  if (coversLocked(primary, cps, n)) return primary;
  for (size_t i = 0; i < n; ++i) {
    if (ignorable(cps[i]) || hasGlyphLocked(primary, cps[i])) continue;
    FT_Face face = FallbackFontFaceLocked(cps[i], false);
    return face ? face : primary;
  }
  return primary;
}

// The script a run is shaped in. Kana and ideographs shape alike and stay
// in one run; characters of no script of their own (spaces, digits,
// punctuation, marks) join the run around them.
UScriptCode scriptOf(FriBidiChar cp) {
  // ASCII without asking ICU: its letters are Latin, the rest is common.
  if (cp < 0x80) {
    const bool letter = (cp >= U'A' && cp <= U'Z') || (cp >= U'a' && cp <= U'z');
    return letter ? USCRIPT_LATIN : USCRIPT_COMMON;
  }
  UErrorCode status = U_ZERO_ERROR;
  UScriptCode script = uscript_getScript(UChar32(cp), &status);
  if (U_FAILURE(status)) return USCRIPT_COMMON;
  switch (script) {
    case USCRIPT_HIRAGANA:
    case USCRIPT_KATAKANA:
    case USCRIPT_KATAKANA_OR_HIRAGANA:
      return USCRIPT_HAN;
    case USCRIPT_INHERITED:
    case USCRIPT_UNKNOWN:
      return USCRIPT_COMMON;
    default:
      return script;
  }
}

std::vector<UScriptCode> scriptsOf(const std::vector<FriBidiChar>& cps) {
  std::vector<UScriptCode> scripts(cps.size(), USCRIPT_COMMON);
  UScriptCode last = USCRIPT_COMMON;
  size_t firstReal = cps.size();
  for (size_t i = 0; i < cps.size(); ++i) {
    UScriptCode s = scriptOf(cps[i]);
    if (s != USCRIPT_COMMON) {
      last = s;
      firstReal = std::min(firstReal, i);
    }
    scripts[i] = last;
  }
  // Leading characters of no script take the first script that follows.
  for (size_t i = 0; i < firstReal && firstReal < cps.size(); ++i) scripts[i] = scripts[firstReal];
  return scripts;
}

hb_script_t harfBuzzScript(UScriptCode script) {
  // A line of only digits and punctuation shapes as Latin, as it always has.
  if (script == USCRIPT_COMMON) return HB_SCRIPT_LATIN;
  return hb_script_from_string(uscript_getShortName(script), -1);
}

// A run of characters [from, to) (code point indices; bytes [start, end))
// of one embedding level, script and face, and its glyphs once shaped (left
// to right).
struct Run {
  size_t from = 0, to = 0;
  size_t start = 0, end = 0;
  FriBidiLevel level = 0;
  UScriptCode script = USCRIPT_COMMON;
  FT_Face face = nullptr;
  std::vector<ShapedGlyph> glyphs;
};

// The runs of the line, in logical order: the text's grapheme clusters,
// each in one face, grouped while level, script and face stay the same.
std::vector<Run> itemizeLocked(FT_Face primary, const std::string& text, const Decoded& d,
                               const std::vector<FriBidiLevel>& levels) REQUIRES(FontFacesMutex()) {
  static BreakIterator clusters(UBRK_CHARACTER);  // guarded by the faces' mutex
  const auto scripts = scriptsOf(d.cps);
  const bool simple =
      std::all_of(d.cps.begin(), d.cps.end(), [](FriBidiChar cp) { return cp < kFirstCombining; });
  std::vector<Run> runs;
  size_t from = 0;  // code point index of the cluster's start
  for (size_t end : simple ? std::vector<size_t>(d.offsets.begin() + 1, d.offsets.end())
                           : clusters.boundaries(text)) {
    size_t to = from;
    while (to < d.cps.size() && d.offsets[to] < end) ++to;
    if (to == from) continue;
    FT_Face face = faceForClusterLocked(primary, d.cps.data() + from, to - from, scripts[from]);
    Run* last = runs.empty() ? nullptr : &runs.back();
    if (last && last->level == levels[from] && last->script == scripts[from] &&
        last->face == face) {
      last->to = to;
      last->end = d.offsets[to];
    } else {
      runs.push_back(
          {from, to, d.offsets[from], d.offsets[to], levels[from], scripts[from], face, {}});
    }
    from = to;
  }
  return runs;
}

// Shapes bytes [start, end) of `text` in the run's face, script and
// direction, the rest of the text the context; the buffer holds the result.
hb_buffer_t* shapeLocked(const Run& run, const std::string& text, size_t start, size_t end,
                         hb_buffer_flags_t extraFlags) REQUIRES(FontFacesMutex()) {
  static hb_buffer_t* buffer = hb_buffer_create();  // guarded by the faces' mutex
  hb_buffer_clear_contents(buffer);
  hb_buffer_add_utf8(buffer, text.data(), int(text.size()), unsigned(start), int(end - start));
  hb_buffer_set_direction(buffer, run.level & 1 ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
  hb_buffer_set_script(buffer, harfBuzzScript(run.script));
  hb_buffer_set_language(buffer, hb_language_get_default());
  hb_buffer_set_flags(
      buffer, hb_buffer_flags_t(HB_BUFFER_FLAG_REMOVE_DEFAULT_IGNORABLES |
                                (start == 0 ? HB_BUFFER_FLAG_BOT : 0) |
                                (end == text.size() ? HB_BUFFER_FLAG_EOT : 0) | extraFlags));
  // Latin, Greek and Cyrillic keep their letters apart (no fi or ffi
  // ligatures), as text in them has always been drawn here; every other
  // script gets all of its face's forms.
  static const hb_feature_t noLigatures[] = {{HB_TAG('l', 'i', 'g', 'a'), 0, 0, ~0u}};
  const bool european = systemFontScript(run.script);
  hb_shape(HarfBuzzFontLocked(run.face), buffer, european ? noLigatures : nullptr,
           european ? 1 : 0);
  return buffer;
}

// The buffer's glyphs of clusters below `end` (all when SIZE_MAX), their
// clusters moved by `shift`.
void appendGlyphs(hb_buffer_t* buffer, FT_Face face, size_t end, size_t shift,
                  std::vector<ShapedGlyph>& out) REQUIRES(FontFacesMutex()) {
  unsigned count = 0;
  const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &count);
  const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer, &count);
  const double em = HarfBuzzUnitsPerEm(face);
  out.reserve(out.size() + count);
  for (unsigned i = 0; i < count && info[i].cluster < end; ++i) {
    ShapedGlyph g;
    g.face = face;
    g.index = info[i].codepoint;
    g.x = pos[i].x_offset / em;  // from the glyph's pen position until placed
    g.y = pos[i].y_offset / em;
    g.advance = pos[i].x_advance / em;
    g.cluster = info[i].cluster + shift;
    out.push_back(g);
  }
}

// A word (with the spaces after it) shaped on its own, followed by the
// first character of what comes next, so what HarfBuzz says of the seam
// is known: whether the word's glyphs would change with text before it,
// and whether they would change with text after it.
struct ShapedWord {
  std::vector<ShapedGlyph> glyphs;  // clusters from the word's start
  bool dependsOnBefore = true, dependsOnAfter = true;
};

using WordCache = SetCache<ShapedWord>;
WordCache& wordCache() {
  static auto* cache = new WordCache(kMaxCachedWords);  // guarded by the faces' mutex
  return *cache;
}

// A left-to-right line of one run, in a script the system font is made
// for and of characters that stand alone as clusters, shaped word by word
// from a cache: labels that change a number between frames keep the rest
// of their words. Only where HarfBuzz says each seam between two words is
// safe to join on both sides; false (nothing set) otherwise.
bool shapeRunInWordsLocked(Run& run, const std::string& text) REQUIRES(FontFacesMutex()) {
  if (run.start != 0 || run.end != text.size() || (run.level & 1) ||
      !systemFontScript(run.script)) {
    return false;
  }
  // Words start after a space (never a byte of a longer character) and
  // every character stands alone below U+0300 (lead bytes below 0xCC).
  static std::vector<size_t> starts;  // guarded by the faces' mutex; byte offsets
  starts.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0xCC) return false;
    if (i == 0 || (text[i - 1] == ' ' && byte != ' ')) starts.push_back(i);
  }
  if (starts.size() < 2) return false;
  WordCache& cache = wordCache();
  std::vector<ShapedGlyph>& glyphs = run.glyphs;  // empty, perhaps with room
  glyphs.reserve(text.size());
  bool afterOfLast = false;
  for (size_t w = 0; w < starts.size(); ++w) {
    const size_t start = starts[w];
    const bool last = w + 1 == starts.size();
    const size_t end = last ? text.size() : starts[w + 1];
    // The word and the first character after it (valid UTF-8 below U+0300:
    // one or two bytes).
    const size_t shapedEnd =
        last ? end : end + (static_cast<unsigned char>(text[end]) < 0x80 ? 1 : 2);
    static std::string key;  // guarded by the faces' mutex; keeps its storage
    key.assign(1, char(run.script));
    key += char((start == 0 ? 1 : 0) | (shapedEnd == text.size() ? 2 : 0));
    key.append(text, start, shapedEnd - start);
    const size_t hash = std::hash<std::string>()(key) ^ std::hash<const void*>()(run.face);
    const ShapedWord* known = cache.find(run.face, key, hash);
    if (!known) {
      // Shaped without the line around it, as a word alone is.
      const std::string alone = text.substr(start, shapedEnd - start);
      hb_buffer_t* buffer =
          shapeLocked(run, alone, 0, alone.size(), HB_BUFFER_FLAG_PRODUCE_UNSAFE_TO_CONCAT);
      ShapedWord& word = cache.insert(run.face, key, hash).value;
      word.glyphs.clear();
      appendGlyphs(buffer, run.face, end - start, 0, word.glyphs);
      unsigned count = 0;
      const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &count);
      auto unsafe = [&](unsigned i) {
        return (hb_glyph_info_get_glyph_flags(&info[i]) & HB_GLYPH_FLAG_UNSAFE_TO_CONCAT) != 0;
      };
      word.dependsOnBefore = count == 0 || info[0].cluster != 0 || unsafe(0);
      if (last) {
        word.dependsOnAfter = false;  // the line ends here
      } else {
        const unsigned seam = unsigned(word.glyphs.size());
        word.dependsOnAfter = seam >= count || info[seam].cluster != end - start || unsafe(seam);
      }
      known = &word;
    }
    const ShapedWord& word = *known;
    if (w > 0 && (word.dependsOnBefore || afterOfLast)) {
      glyphs.clear();
      return false;
    }
    afterOfLast = word.dependsOnAfter;
    for (ShapedGlyph g : word.glyphs) {
      g.cluster += start;
      glyphs.push_back(g);
    }
  }
  return true;
}

void shapeRunLocked(Run& run, const std::string& text) REQUIRES(FontFacesMutex()) {
  if (shapeRunInWordsLocked(run, text)) return;
  // The whole line is the context, so letters join across run boundaries.
  hb_buffer_t* buffer = shapeLocked(run, text, run.start, run.end, hb_buffer_flags_t(0));
  appendGlyphs(buffer, run.face, SIZE_MAX, 0, run.glyphs);
}

// The runs' visual order: from the highest level down to the lowest odd
// one, every stretch of runs at that level or above reverses.
std::vector<size_t> visualOrder(const std::vector<Run>& runs) {
  std::vector<size_t> order(runs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  // No odd level: nothing reverses.
  int highest = 0, lowestOdd = INT_MAX;
  for (const Run& r : runs) {
    highest = std::max<int>(highest, r.level);
    if (r.level & 1) lowestOdd = std::min<int>(lowestOdd, r.level);
  }
  for (int level = highest; level >= lowestOdd; --level) {
    for (size_t i = 0; i < order.size();) {
      if (runs[order[i]].level < level) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < order.size() && runs[order[j]].level >= level) ++j;
      std::reverse(order.begin() + long(i), order.begin() + long(j));
      i = j;
    }
  }
  return order;
}

// The line of one run, shaped and placed left to right into `line`, whose
// glyphs' room is reused.
void placeAloneLocked(Run& run, const std::string& text, bool rightToLeft, ShapedLine& line)
    REQUIRES(FontFacesMutex()) {
  line.rightToLeft = rightToLeft;
  run.glyphs = std::move(line.glyphs);
  run.glyphs.clear();
  shapeRunLocked(run, text);
  line.glyphs = std::move(run.glyphs);
  double pen = 0;
  for (ShapedGlyph& g : line.glyphs) {
    g.x += pen;
    pen += g.advance;
  }
  line.width = pen;
}

// The runs shaped and placed left to right in visual order.
ShapedLine placed(std::vector<Run> runs, const std::string& text, bool rightToLeft)
    REQUIRES(FontFacesMutex()) {
  ShapedLine line;
  if (runs.size() == 1) {  // most lines
    placeAloneLocked(runs[0], text, rightToLeft, line);
    return line;
  }
  line.rightToLeft = rightToLeft;
  for (Run& run : runs) shapeRunLocked(run, text);
  double pen = 0;
  size_t count = 0;
  for (const Run& run : runs) count += run.glyphs.size();
  line.glyphs.reserve(count);
  for (size_t i : visualOrder(runs)) {
    for (ShapedGlyph& g : runs[i].glyphs) {
      g.x += pen;
      pen += g.advance;
      line.glyphs.push_back(g);
    }
  }
  line.width = pen;
  return line;
}

// The one run of a line of ASCII characters that the primary face has
// (what itemizing finds in it: each character a cluster of its own, Latin
// where a letter is, else of no script); false when a character is missing.
bool asciiRunLocked(FT_Face primary, const std::string& text, Run& run) REQUIRES(FontFacesMutex()) {
  if (text.empty()) return false;
  bool letters = false;
  for (char c : text) {
    const auto cp = static_cast<unsigned char>(c);
    if (cp >= 0x80 || !hasGlyphLocked(primary, cp)) return false;
    letters = letters || scriptOf(cp) == USCRIPT_LATIN;
  }
  run = {0, text.size(), 0, text.size(), 0, letters ? USCRIPT_LATIN : USCRIPT_COMMON, primary, {}};
  return true;
}

ShapedLine shapeAnyLocked(FT_Face primary, const std::string& text, NSWritingDirection direction)
    REQUIRES(FontFacesMutex()) {
  const Decoded d = decode(text);
  const auto n = FriBidiStrIndex(d.cps.size());
  std::vector<FriBidiLevel> levels(d.cps.size(), 0);
  const bool leftToRightOnly = direction != NSWritingDirectionRightToLeft &&
                               std::all_of(d.cps.begin(), d.cps.end(),
                                           [](FriBidiChar cp) { return cp < kFirstRightToLeft; });
  if (leftToRightOnly) return placed(itemizeLocked(primary, text, d, levels), text, false);
  std::vector<FriBidiCharType> types(d.cps.size());
  std::vector<FriBidiBracketType> brackets(d.cps.size());
  fribidi_get_bidi_types(d.cps.data(), n, types.data());
  fribidi_get_bracket_types(d.cps.data(), n, types.data(), brackets.data());
  FriBidiParType base = direction == NSWritingDirectionRightToLeft   ? FRIBIDI_PAR_RTL
                        : direction == NSWritingDirectionLeftToRight ? FRIBIDI_PAR_LTR
                                                                     : FRIBIDI_PAR_ON;
  const FriBidiLevel resolved =
      fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(), n, &base, levels.data());
  if (resolved == 0) {  // out of memory
    std::fill(levels.begin(), levels.end(), FRIBIDI_IS_RTL(base) ? 1 : 0);
  } else {
    // Whitespace ending the line goes back to the paragraph's level (the
    // runs are put in visual order below).
    [[maybe_unused]] const FriBidiLevel highest = fribidi_reorder_line(
        FRIBIDI_FLAGS_DEFAULT, types.data(), n, 0, base, levels.data(), nullptr, nullptr);
  }
  return placed(itemizeLocked(primary, text, d, levels), text, FRIBIDI_IS_RTL(base));
}

// `text` shaped into `line`, whose glyphs' room is reused.
void shapeLocked(FT_Face primary, const std::string& text, NSWritingDirection direction,
                 ShapedLine& line) REQUIRES(FontFacesMutex()) {
  // Most lines of an interface: no decoding, bidi or itemizing.
  Run ascii;
  if (direction != NSWritingDirectionRightToLeft && asciiRunLocked(primary, text, ascii)) {
    placeAloneLocked(ascii, text, false, line);
    return;
  }
  line = shapeAnyLocked(primary, text, direction);
}

// Shaped lines by font file, direction and text; guarded by the faces' mutex.
struct CachedLine {
  std::shared_ptr<const ShapedLine> line;
  size_t glyphs = 0;  // its glyphs, counted without reading the line again
};

struct ShapeCache {
  SetCache<CachedLine> lines{kMaxCachedLines};
  size_t glyphs = 0;  // in the lines kept
};

ShapeCache& shapeCache() {
  static auto* cache = new ShapeCache();  // lives for the process, as the faces do
  return *cache;
}

}  // namespace

std::shared_ptr<const ShapedLine> ShapeText(const std::string& fontFile, const std::string& rawText,
                                            NSWritingDirection direction) {
  const std::string repaired = isValidUTF8(rawText) ? std::string() : ValidUTF8(rawText);
  const std::string& text = repaired.empty() ? rawText : repaired;
  MutexLock lock(FontFacesMutex());
  static std::string key;  // guarded by the mutex; keeps its storage between calls
  key.assign(fontFile);
  key += char('1' + direction);
  key += text;
  ShapeCache& cache = shapeCache();
  const size_t hash = std::hash<std::string>()(key);
  if (auto* known = cache.lines.find(nullptr, key, hash)) return known->line;
  CachedLine& entry = cache.lines.insert(nullptr, key, hash).value;
  cache.glyphs -= entry.glyphs;
  // Always a new line: the one this takes the place of may still be read
  // by a thread that fetched it, and use_count() cannot say when it is done.
  auto line = std::make_shared<ShapedLine>();
  if (FT_Face primary = SystemFontFaceLocked(fontFile)) {
    shapeLocked(primary, text, direction, *line);
  } else {
    line->glyphs.clear();
    line->width = 0.6 * double(UTF8CodePoints(text).size());
    line->rightToLeft = direction == NSWritingDirectionRightToLeft;
  }
  entry = {line, line->glyphs.size()};
  cache.glyphs += entry.glyphs;
  if (cache.glyphs > kMaxCachedGlyphs) {
    cache.lines.clear();
    cache.glyphs = 0;
  }
  return line;
}

bool TextIsRightToLeft(const std::string& text) {
  // Bytes below 0xD6 start no character at or above U+0580, and what
  // invalid bytes become (U+FFFD) has no direction: left to right.
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0xD6; })) {
    return false;
  }
  const Decoded d = decode(ValidUTF8(text));
  if (std::all_of(d.cps.begin(), d.cps.end(),
                  [](FriBidiChar cp) { return cp < kFirstRightToLeft; })) {
    return false;
  }
  std::vector<FriBidiCharType> types(d.cps.size());
  fribidi_get_bidi_types(d.cps.data(), FriBidiStrIndex(d.cps.size()), types.data());
  const FriBidiParType dir = fribidi_get_par_direction(types.data(), FriBidiStrIndex(types.size()));
  return FRIBIDI_IS_RTL(dir);
}

std::vector<size_t> TextBreaks(const std::string& text, TextBreak kind) {
  return breakIterator(kind).boundaries(text);
}

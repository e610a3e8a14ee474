#pragma once

// The FreeType faces text is shaped and drawn with, opened once for the
// process and shared: the system font's own faces (DejaVu Sans) and the
// faces fontconfig finds for characters they lack. FreeType, and the
// HarfBuzz fonts made over its faces, are not thread-safe: every call below,
// and every use of a face it returns, holds `FontFacesMutex()`.

#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb.h>

#include <string>

#include "platform/foundation/Mutex.h"

// Guards the FreeType library, every face opened from it, the HarfBuzz
// fonts over them and the caches kept beside them.
Mutex& FontFacesMutex();

// The face of one of the system font's files (a file name in its folder);
// nullptr, logged once, when it cannot be opened.
FT_Face SystemFontFaceLocked(const std::string& file) REQUIRES(FontFacesMutex());

// A face other than the system font's that has `cp`: one found before that
// has it, else the first fontconfig sorts for it (sans-serif faces first);
// with `colour`, colour faces only. nullptr when none has it.
FT_Face FallbackFontFaceLocked(char32_t cp, bool colour) REQUIRES(FontFacesMutex());

// The face the platform's font cascade would give text in `script` (ICU's
// name of it, "Arabic", "Devanagari") that the system font is not made for:
// "Noto Sans <script> UI", else "Noto Sans <script>", in the installed
// weight nearest to regular or bold; nullptr when neither is installed.
FT_Face ScriptFontFaceLocked(const std::string& script, bool bold) REQUIRES(FontFacesMutex());

// The HarfBuzz font over `face`, scaled in the face's own design units, so
// positions divided by `HarfBuzzUnitsPerEm` are in ems.
hb_font_t* HarfBuzzFontLocked(FT_Face face) REQUIRES(FontFacesMutex());
unsigned HarfBuzzUnitsPerEm(FT_Face face) REQUIRES(FontFacesMutex());

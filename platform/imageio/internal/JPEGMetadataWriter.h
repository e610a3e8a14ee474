#pragma once

// Rewrites the metadata of a JPEG file without touching its image: the APP1
// "Exif" segment is rebuilt from the file's own EXIF overlaid by the given
// properties, and every other byte (the other markers, the tables and the
// entropy-coded data) is copied as it stands. The cost is a scan of the
// header segments and one copy of the bytes.

#include <cstddef>
#include <cstdint>

#include "platform/foundation/ValueFwd.h"

// Properties read from `properties`: the "{TIFF}", "{Exif}" and "{GPS}"
// dictionaries and "Orientation" (1-8). With `merge` each dictionary is
// merged key by key over the file's (a key given replaces the file's value,
// the file's other keys and its EXIF thumbnail stay); without it they are the
// file's whole EXIF. The new EXIF segment follows the JFIF
// segment when the file starts with one, else the start-of-image marker.
// False, with `out` untouched, when the data is not a well-formed JPEG up to
// its first scan or the EXIF block would not fit one segment.
bool JPEGReplaceMetadata(const uint8_t* data, size_t size, const ValueMap& properties, bool merge,
                         Bytes& out);

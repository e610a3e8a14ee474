#pragma once

// A baseline JPEG of any size whose every pixel is mid grey (128), written
// by hand: each 8x8 block is two bits of entropy-coded data, so a 100
// megapixel picture is about 400 KB and takes no encoder and no bitmap to
// make. For tests of pictures too large to hold whole.

#include <cstdint>

#include "platform/foundation/ValueFwd.h"

Bytes FlatGreyJPEG(uint16_t width, uint16_t height);

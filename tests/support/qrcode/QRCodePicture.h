#pragma once

// A QR code as a person would hold it up to a camera or find it in a
// photo: black modules on white with the four-module quiet zone around
// them, `moduleSize` pixels to a module, made by Debian's libqrencode
// (8-bit mode, so any text goes in byte for byte; error correction M).

#include <cstddef>
#include <string>

#include "platform/coregraphics/CGImage.h"

// Null when the text does not fit in any QR code.
CGImageRef QRCodePicture(const std::string& text, size_t moduleSize = 8);

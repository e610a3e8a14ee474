#pragma once

// String transforms by ICU transform identifiers ("Any-Latin; Latin-ASCII"),
// as the platform's string transform API applies them.

#include <optional>
#include <string>

// The UTF-8 text transformed, or nullopt when the transform identifier is
// not one ICU knows or the text is not valid UTF-8.
std::optional<std::string> NSStringByApplyingTransform(const std::string& text,
                                                       const std::string& transform, bool reverse = false);

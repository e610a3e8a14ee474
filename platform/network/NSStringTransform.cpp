#include "platform/network/NSStringTransform.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <memory>

#include "platform/foundation/UTF8.h"

std::optional<std::string> NSStringByApplyingTransform(const std::string& text, const std::string& transform,
                                                       bool reverse) {
  for (size_t at = 0; at < text.size();) {
    size_t length = UTF8SequenceLength(text.data() + at, text.size() - at);
    if (length == 0) return std::nullopt;
    at += length;
  }
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::Transliterator> transliterator(icu::Transliterator::createInstance(
      icu::UnicodeString::fromUTF8(transform), reverse ? UTRANS_REVERSE : UTRANS_FORWARD, parseError, status));
  if (U_FAILURE(status) || !transliterator) return std::nullopt;
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  transliterator->transliterate(unicode);
  std::string result;
  unicode.toUTF8String(result);
  return result;
}

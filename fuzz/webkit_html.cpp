// HTML pages' titles: the bytes fed whole and in small pieces, with the
// first byte choosing the charset the response would declare.
#include <cstddef>
#include <cstdint>

#include "platform/webkit/WKHTMLTitleReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kCharsets[] = {"", "utf-8", "iso-8859-1", "shift_jis", "utf-16",
                                          "no-such-charset"};
  if (size == 0) return 0;
  const char* charset = kCharsets[data[0] % (sizeof kCharsets / sizeof *kCharsets)];
  ++data, --size;
  {
    WKHTMLTitleReader whole(charset);
    whole.feed(data, size);
    whole.finish();
    whole.title();
  }
  WKHTMLTitleReader pieces(charset);
  for (size_t i = 0; i < size; i += 3) pieces.feed(data + i, size - i < 3 ? size - i : 3);
  pieces.finish();
  pieces.title();
  return 0;
}

#include "platform/webkit/WKHTMLTitleReader.h"

#include <libxml/HTMLparser.h>
#include <libxml/encoding.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

bool IsTitle(const unsigned char* name) {
  return name && xmlStrcasecmp(name, reinterpret_cast<const xmlChar*>("title")) == 0;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// The library's global state is made once, before any thread parses.
void InitLibxml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

}  // namespace

WKHTMLTitleReader::WKHTMLTitleReader(const std::string& charset) {
  InitLibxml();
  htmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  sax.startElement = &WKHTMLTitleReader::onStart;
  sax.endElement = &WKHTMLTitleReader::onEnd;
  sax.characters = &WKHTMLTitleReader::onCharacters;
  sax.cdataBlock = &WKHTMLTitleReader::onCharacters;
  xmlCharEncoding encoding =
      charset.empty() ? XML_CHAR_ENCODING_NONE : xmlParseCharEncoding(charset.c_str());
  if (encoding == XML_CHAR_ENCODING_ERROR) encoding = XML_CHAR_ENCODING_NONE;
  htmlParserCtxtPtr parser = htmlCreatePushParserCtxt(&sax, this, nullptr, 0, nullptr, encoding);
  if (parser) {
    htmlCtxtUseOptions(parser, HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
  }
  parser_ = parser;
}

WKHTMLTitleReader::~WKHTMLTitleReader() {
  if (parser_) htmlFreeParserCtxt(static_cast<htmlParserCtxtPtr>(parser_));
}

void WKHTMLTitleReader::feed(const uint8_t* bytes, size_t length) {
  if (done_ || !parser_) return;
  const size_t take = std::min(length, kMaxHeadBytes - parsed_);
  parse(bytes, take);
  parsed_ += take;
  // A head longer than any a title is looked for in: the page is read as if
  // it ended here.
  if (!done_ && parsed_ == kMaxHeadBytes) finish();
}

void WKHTMLTitleReader::parse(const uint8_t* bytes, size_t length) {
  // The parser takes int lengths: large pieces go in parts.
  while (length > 0 && !done_) {
    int piece = int(std::min<size_t>(length, 1u << 20));
    htmlParseChunk(static_cast<htmlParserCtxtPtr>(parser_), reinterpret_cast<const char*>(bytes),
                   piece, 0);
    bytes += piece;
    length -= size_t(piece);
  }
}

void WKHTMLTitleReader::finish() {
  if (!done_ && parser_) htmlParseChunk(static_cast<htmlParserCtxtPtr>(parser_), nullptr, 0, 1);
  done_ = true;
  inTitle_ = false;
}

std::string WKHTMLTitleReader::title() const {
  std::string out;
  bool space = false;
  for (char c : raw_) {
    if (IsSpace(c)) {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += c;
  }
  return out;
}

void WKHTMLTitleReader::onStart(void* context, const unsigned char* name,
                                const unsigned char** attributes) {
  auto* self = static_cast<WKHTMLTitleReader*>(context);
  if (!self->sawTitle_ && IsTitle(name)) {
    self->inTitle_ = self->sawTitle_ = true;
  } else if (self->inTitle_ && name) {
    // A title's content is text: markup in it reads as written.
    std::string tag = "<" + std::string(reinterpret_cast<const char*>(name));
    for (auto a = attributes; a && a[0]; a += 2) {
      tag += " " + std::string(reinterpret_cast<const char*>(a[0]));
      if (a[1]) tag += "=\"" + std::string(reinterpret_cast<const char*>(a[1])) + "\"";
    }
    self->append(tag + ">");
  }
}

void WKHTMLTitleReader::onEnd(void* context, const unsigned char* name) {
  auto* self = static_cast<WKHTMLTitleReader*>(context);
  if (self->inTitle_ && !IsTitle(name) && name) {
    self->append("</" + std::string(reinterpret_cast<const char*>(name)) + ">");
  } else if (self->inTitle_) {
    self->inTitle_ = false;
    self->done_ = true;
    // Nothing after the title matters: the parser is stopped where it is.
    xmlStopParser(static_cast<htmlParserCtxtPtr>(self->parser_));
  }
}

void WKHTMLTitleReader::onCharacters(void* context, const unsigned char* characters, int length) {
  auto* self = static_cast<WKHTMLTitleReader*>(context);
  if (self->inTitle_ && length > 0) {
    self->append(std::string_view(reinterpret_cast<const char*>(characters), size_t(length)));
  }
}

void WKHTMLTitleReader::append(std::string_view text) {
  size_t room = kMaxTitleBytes - std::min(kMaxTitleBytes, raw_.size());
  size_t take = std::min(room, text.size());
  // A title cut short ends on a whole character.
  if (take < text.size()) {
    while (take > 0 && (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80) --take;
  }
  raw_.append(text.substr(0, take));
}

#pragma once

// Reads an HTML page's title as its bytes stream in, with libxml2's HTML
// parser driven by events (no document tree is built): the text of the
// first title element, whitespace collapsed and trimmed as documents'
// titles are. Once that element has ended the rest of the page is not
// parsed, and no more than kMaxHeadBytes of a page are parsed at all: the
// page is read as if it ended there. libxml2 spends time quadratic in a
// tag's attributes on each start tag, so a head of a few megabytes of
// attributes would otherwise cost minutes. Not thread-safe: one thread at a time feeds a reader.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class WKHTMLTitleReader {
 public:
  // `charset` from the response ("" to let the page's own declaration or
  // the parser's guess decide).
  explicit WKHTMLTitleReader(const std::string& charset = "");
  ~WKHTMLTitleReader();
  WKHTMLTitleReader(const WKHTMLTitleReader&) = delete;
  WKHTMLTitleReader& operator=(const WKHTMLTitleReader&) = delete;

  void feed(const uint8_t* bytes, size_t length);
  // The page has ended: a title still open ends with it.
  void finish();
  // True once the title is known for good (its element ended, or the page).
  bool done() const { return done_; }
  // The title so far; "" for a page without one.
  std::string title() const;

  // Longest title kept, in bytes; the rest of a longer one is dropped.
  static constexpr size_t kMaxTitleBytes = 4096;
  // Most bytes of a page parsed for its title.
  static constexpr size_t kMaxHeadBytes = 256 * 1024;

 private:
  static void onStart(void* context, const unsigned char* name, const unsigned char** attributes);
  static void onEnd(void* context, const unsigned char* name);
  static void onCharacters(void* context, const unsigned char* characters, int length);
  void append(std::string_view text);
  void parse(const uint8_t* bytes, size_t length);

  void* parser_ = nullptr;  // htmlParserCtxtPtr
  bool inTitle_ = false;
  bool sawTitle_ = false;
  bool done_ = false;
  size_t parsed_ = 0;  // bytes handed to the parser
  std::string raw_;
};

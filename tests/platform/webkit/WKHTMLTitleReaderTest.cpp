#include <gtest/gtest.h>

#include <string>

#include "platform/webkit/WKHTMLTitleReader.h"
#include "support/TestEnvironment.h"

namespace wkhtml_title_reader_test {

namespace {

std::string TitleOf(const std::string& page, const std::string& charset = "",
                    size_t pieces = 0) {
  WKHTMLTitleReader reader(charset);
  const auto* bytes = reinterpret_cast<const uint8_t*>(page.data());
  if (pieces == 0) {
    reader.feed(bytes, page.size());
  } else {
    // Byte by byte (pieces = 1) or in small pieces: titles split anywhere.
    for (size_t i = 0; i < page.size(); i += pieces) {
      reader.feed(bytes + i, std::min(pieces, page.size() - i));
    }
  }
  reader.finish();
  return reader.title();
}

using WKHTMLTitleReaderTest = PlatformTest;

}  // namespace

TEST_F(WKHTMLTitleReaderTest, ReadsTheFirstTitleAsDocumentsShowIt) {
  const std::string page =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>\n  Gallery &amp;\tfriends "
      "\xE2\x80\x94 Gr\xC3\xBC\xC3\x9F" "e  </title><title>second</title></head><body>x</body></html>";
  EXPECT_EQ(TitleOf(page), "Gallery & friends \xE2\x80\x94 Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(TitleOf(page, "", 1), "Gallery & friends \xE2\x80\x94 Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(TitleOf(page, "", 7), "Gallery & friends \xE2\x80\x94 Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(TitleOf("<html><head></head><body>no title</body></html>"), "");
  EXPECT_EQ(TitleOf("<title></title>"), "");
  EXPECT_EQ(TitleOf("<title>   </title>"), "");
  EXPECT_EQ(TitleOf(""), "");
  // A title in the body is the document's title when the head has none.
  EXPECT_EQ(TitleOf("<html><body><p>text</p><TITLE>Late</TITLE></body></html>"), "Late");
  // The response's charset decides how bytes read; a page cut off inside
  // its title keeps what arrived.
  EXPECT_EQ(TitleOf("<title>caf\xE9</title>", "iso-8859-1"), "caf\xC3\xA9");
  EXPECT_EQ(TitleOf("<title>cut here"), "cut here");
  // Markup inside a title is text.
  EXPECT_EQ(TitleOf("<title>a <b>bold</b> claim</title>"), "a <b>bold</b> claim");
}

TEST_F(WKHTMLTitleReaderTest, StopsAfterTheTitleAndBoundsItsLength) {
  WKHTMLTitleReader reader;
  std::string head = "<html><head><title>Known</title></head><body>";
  reader.feed(reinterpret_cast<const uint8_t*>(head.data()), head.size());
  EXPECT_TRUE(reader.done());
  // Whatever follows is not read: not even another title.
  std::string more = "<title>Other</title>" + std::string(1 << 20, 'x');
  reader.feed(reinterpret_cast<const uint8_t*>(more.data()), more.size());
  reader.finish();
  EXPECT_EQ(reader.title(), "Known");

  // A title of a megabyte is cut to the limit, on a whole character.
  std::string huge = "<title>";
  while (huge.size() < (1u << 20)) huge += "\xC3\xA9";
  huge += "</title>";
  std::string title = TitleOf(huge, "utf-8");
  EXPECT_LE(title.size(), WKHTMLTitleReader::kMaxTitleBytes);
  EXPECT_GE(title.size(), WKHTMLTitleReader::kMaxTitleBytes - 1);
  EXPECT_EQ(title.size() % 2, 0u);
  EXPECT_EQ(title.substr(title.size() - 2), "\xC3\xA9");
}

// Only the first kMaxHeadBytes of a page are parsed, as if it ended there: a
// title within them is read, one under way at the bound is taken as it
// stands, and one that begins after it, or after a head of attributes that
// never closes within it, is not looked for.
TEST_F(WKHTMLTitleReaderTest, ParsesNoMoreThanTheHeadBound) {
  const size_t bound = WKHTMLTitleReader::kMaxHeadBytes;
  // A page whose `tail` ends at byte `end`, after a comment filling the head.
  auto placed = [](const std::string& tail, size_t end) {
    std::string page = "<html><head><!--";
    page += std::string(end - tail.size() - page.size() - 3, 'x') + "-->" + tail;
    return page + "</head><body>text</body></html>";
  };
  // A head tag of attributes closing only past the bound, then a title.
  std::string attributes = "<html><head><meta";
  for (int i = 0; attributes.size() < bound + 1024; ++i) {
    attributes += " a" + std::to_string(i) + "=\"" + std::string(100, 'v') + "\"";
  }
  attributes += "><title>Late</title></head></html>";
  struct Case {
    std::string page;
    std::string title;
  };
  const Case cases[] = {
      {placed("<title>Known</title>", bound), "Known"},
      {placed("<title>Known</title>", bound + 1), "Known"},
      {placed("<title>X", bound), "X"},
      {placed("<title>X", bound + 1), ""},
      {attributes, ""},
  };
  // Pieces that do not divide the bound: the bound falls inside one.
  const size_t piece = 1000, boundPiece = (bound + piece - 1) / piece * piece;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page.substr(bound - 40, 80));
    WKHTMLTitleReader reader;
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.page.data());
    size_t fed = 0;
    for (; fed < c.page.size() && !reader.done(); fed += piece) {
      reader.feed(bytes + fed, std::min(piece, c.page.size() - fed));
    }
    EXPECT_EQ(fed, boundPiece);
    EXPECT_EQ(reader.title(), c.title);
  }
}

}  // namespace wkhtml_title_reader_test

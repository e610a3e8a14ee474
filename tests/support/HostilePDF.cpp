#include "support/HostilePDF.h"

#include <cstdio>

#include "platform/foundation/Value.h"

Bytes OnePagePDF(const std::string& mediaBox, const std::string& content,
                 const std::string& entries, const std::vector<std::string>& objects) {
  std::vector<std::string> all = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [" + mediaBox + "] " + entries +
          " /Contents 4 0 R >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream"};
  all.insert(all.end(), objects.begin(), objects.end());
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < all.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + all[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(all.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(all.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return Bytes(pdf.begin(), pdf.end());
}

std::string FormObject(const std::string& box, const std::string& content,
                       const std::string& entries) {
  return "<< /Type /XObject /Subtype /Form /BBox [" + box + "] " + entries + " /Length " +
         std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream";
}

PDFPageParts FormChain(const std::string& box, int length, int draws, const std::string& last,
                       bool transparent) {
  const std::string state =
      transparent ? "/ExtGState << /G << /ca 0.9 >> >>" : "/ExtGState << /G << >> >>";
  std::string drawNext = "/G gs ";
  for (int i = 0; i < draws; ++i) drawNext += "/F Do ";
  auto resources = [&state](int next) {
    return "/Resources << " + state + " /XObject << /F " + std::to_string(next) + " 0 R >> >>";
  };
  const std::string group = transparent ? "/Group << /S /Transparency >> " : "";
  PDFPageParts page{drawNext, resources(5), {}};
  for (int i = 0; i + 1 < length; ++i) {
    page.objects.push_back(FormObject(box, drawNext, group + resources(6 + i)));
  }
  page.objects.push_back(FormObject(box, last, group));
  return page;
}

Bytes FormChainPDF(int length, int draws, const std::string& last, bool transparent) {
  const std::string box = "0 0 612 792";
  const PDFPageParts page = FormChain(box, length, draws, last, transparent);
  return OnePagePDF(box, page.content, page.entries, page.objects);
}

Bytes DoublingFormsPDF() { return FormChainPDF(70, 2, "0 g 0 0 10 10 re f"); }

Bytes NestedGroupsPDF(int depth) {
  return FormChainPDF(depth, 1, "0 0 1 rg 0 0 612 792 re f", true);
}

Bytes TriangleClipsPDF(int count) {
  std::string content = "0 g 0 0 10 10 re f ";
  for (int i = 0; i < count; ++i) content += "0 0 m 612 0 l 0 792 l h W n ";
  return OnePagePDF("0 0 612 792", content + "0 0 612 792 re f");
}

namespace {

// Bits written first to last into bytes from their lowest bit up, as
// deflate packs them.
class DeflateBitWriter {
 public:
  void bits(uint32_t value, int count) {  // the value's lowest bit first
    for (int i = 0; i < count; ++i) bit((value >> i) & 1);
  }
  void code(uint32_t value, int count) {  // a Huffman code, its highest bit first
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
  }
  std::string done() { return out_; }

 private:
  void bit(uint32_t b) {
    if (used_ == 0) out_ += '\0';
    out_.back() = char(uint8_t(out_.back()) | (b << used_));
    used_ = (used_ + 1) % 8;
  }
  std::string out_;
  int used_ = 0;
};

std::string Stream(const std::string& entries, const std::string& data) {
  return "<< " + entries + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
         "\nendstream";
}

}  // namespace

std::string DeflatedZeros(size_t size) {
  DeflateBitWriter w;
  w.bits(1, 1);  // the last block
  w.bits(1, 2);  // of the fixed codes
  size_t left = size;
  if (left > 0) {
    w.code(0x30, 8);  // literal 0
    --left;
  }
  for (; left >= 258; left -= 258) {
    w.code(0xC5, 8);  // length 258 (symbol 285)
    w.code(0, 5);     // distance 1
  }
  for (; left > 0; --left) w.code(0x30, 8);
  w.code(0, 7);  // end of block
  const uint32_t adler = uint32_t((size % 65521) << 16 | 1);
  std::string out = "\x78\x01" + w.done();
  for (int shift = 24; shift >= 0; shift -= 8) out += char(uint8_t(adler >> shift));
  return out;
}

Bytes CalculatorShadingPDF(int operators) {
  std::string program = "{";
  for (int i = 0; i < operators / 2; ++i) program += " 1 add 1 sub";
  program += " pop }";
  return OnePagePDF(
      "0 0 612 792", "/Sh sh", "/Resources << /Shading << /Sh 5 0 R >> >>",
      {"<< /ShadingType 1 /ColorSpace /DeviceGray /Domain [0 612 0 792] /Function 6 0 R >>",
       Stream("/FunctionType 4 /Domain [0 612 0 792] /Range [0 1]", program)});
}

Bytes LongPathPDF(int segments) {
  // Short operands, scaled to cross the page: "9 9 l 0 0 l" zigzags.
  std::string content = "68 0 0 88 0 0 cm 0 g 0 0 m ";
  for (int i = 0; i < segments; ++i) content += i % 2 ? "0 0 l " : "9 9 l ";
  return OnePagePDF("0 0 612 792", content + "f");
}

Bytes ManyCurvesPDF(int curves) {
  std::string content = "68 0 0 88 0 0 cm 0 g 0 0 m ";
  for (int i = 0; i < curves; ++i) content += i % 2 ? "9 0 0 9 0 0 c " : "0 9 9 0 9 9 c ";
  return OnePagePDF("0 0 612 792", content + "f");
}

Bytes SampledFunctionPDF(size_t samples) {
  return OnePagePDF(
      "0 0 612 792", "/Sh sh", "/Resources << /Shading << /Sh 5 0 R >> >>",
      {"<< /ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 612 0] /Function 6 0 R >>",
       Stream("/FunctionType 0 /Domain [0 1] /Range [0 1 0 1 0 1] /Size [" +
                  std::to_string(samples) + "] /BitsPerSample 8 /Filter /FlateDecode",
              DeflatedZeros(3 * samples))});
}

Bytes LyingJPEGImagePDF(int side) {
  // A progressive JPEG of one component: its coefficients are held whole,
  // some two bytes a pixel, from the first scan on.
  auto marker = [](uint8_t type, const std::string& body) {
    const size_t length = body.size() + 2;
    return std::string{char(0xFF), char(type), char(length >> 8), char(length & 0xFF)} + body;
  };
  const std::string table = std::string(1, '\0') + std::string(64, '\1');
  const std::string frame = {8,         char(side >> 8), char(side & 0xFF), char(side >> 8),
                             char(side & 0xFF), 1, 1, 0x11, 0};
  // A DC table of one code, for the difference 0.
  std::string huffman = {0x00, 1};
  huffman += std::string(15, '\0') + std::string(1, '\0');
  const std::string scan = {1, 1, 0x00, 0, 0, 0};  // the DC coefficients, first
  std::string jpeg = {char(0xFF), char(0xD8)};
  jpeg += marker(0xDB, table) + marker(0xC2, frame) + marker(0xC4, huffman) + marker(0xDA, scan);
  jpeg += std::string(64, '\0') + std::string{char(0xFF), char(0xD9)};
  return OnePagePDF(
      "0 0 612 792", "612 0 0 792 0 0 cm /I Do", "/Resources << /XObject << /I 5 0 R >> >>",
      {Stream("/Type /XObject /Subtype /Image /Width 1 /Height 1 /ColorSpace /DeviceGray "
              "/BitsPerComponent 8 /Filter /DCTDecode",
              jpeg)});
}

Bytes InlineImagesPDF(int count, int side) {
  const std::string data = DeflatedZeros(size_t(side) * size_t(side) * 3);
  std::string content;
  for (int i = 0; i < count; ++i) {
    content += "q 612 0 0 792 0 0 cm BI /W " + std::to_string(side) + " /H " +
               std::to_string(side) + " /CS /RGB /BPC 8 /I true /F /Fl /L " + std::to_string(data.size()) +
               " ID " + data + " EI Q ";
  }
  return OnePagePDF("0 0 612 792", content);
}

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

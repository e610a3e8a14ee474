#pragma once

// PDF documents written as text in code, for tests of what rendering a page
// may cost: one page with its content and objects, and the pages that once
// cost minutes or gigabytes to render. They need no PDF library to make.

#include <string>
#include <vector>

#include "platform/foundation/ValueFwd.h"

// A one-page document: `content` on a page of `mediaBox` ("0 0 612 792")
// with `entries` more in its page dictionary; `objects` are numbered from 5
// on (the catalog, page tree, page and content take 1 to 4).
Bytes OnePagePDF(const std::string& mediaBox, const std::string& content,
                 const std::string& entries = "", const std::vector<std::string>& objects = {});

// A form (an object for OnePagePDF) of `content` over the box, with
// `entries` more in its dictionary.
std::string FormObject(const std::string& box, const std::string& content,
                       const std::string& entries = "");

// What a page holds besides its box: its content, more entries of its
// dictionary and the objects from 5 on.
struct PDFPageParts {
  std::string content, entries;
  std::vector<std::string> objects;
};

// A page of `box` drawing a chain of `length` forms (as large as the page),
// each drawing the next `draws` times under the graphics state /G (ca 0.9
// when `transparent`, which makes each a transparency group of its own, or
// nothing), the last running `last`.
PDFPageParts FormChain(const std::string& box, int length, int draws, const std::string& last,
                       bool transparent = false);
// That chain on a letter page.
Bytes FormChainPDF(int length, int draws, const std::string& last, bool transparent = false);

// The forms of a letter page drawing each other twice, 70 deep: some 2^69
// forms to draw, in 13 KB.
Bytes DoublingFormsPDF();
// A letter page of transparency groups nested `depth` deep, each as large as
// the page: at the gallery's scale, 9 MB a group.
Bytes NestedGroupsPDF(int depth);
// A letter page clipped `count` times by the same triangle, which the
// rasteriser keeps as a path of its own each time: 100,000 are 2.8 MB of
// content and once ran a process out of memory.
Bytes TriangleClipsPDF(int count);

// zlib data (deflate, fixed codes) of `size` zero bytes: some 13 bits for
// each 258 of them.
std::string DeflatedZeros(size_t size);

// The pages whose costs no budget foresaw, each on a letter page: what the
// renderer's own limits must hold.
// A function shading whose function is a PostScript calculator program of
// `operators` operators, evaluated for each pixel.
Bytes CalculatorShadingPDF(int operators);
// One fill of a path of `segments` lines, each crossing the page.
Bytes LongPathPDF(int segments);
// One fill of a path of `curves` curves, each crossing the page.
Bytes ManyCurvesPDF(int curves);
// An axial shading through a sampled function of `samples` samples, each
// of three colour components.
Bytes SampledFunctionPDF(size_t samples);
// A 1 x 1 DCT image whose progressive JPEG declares `side` x `side`.
Bytes LyingJPEGImagePDF(int side);
// `count` inline images of `side` x `side` RGB pixels, each drawn over the
// page, interpolated.
Bytes InlineImagesPDF(int count, int side);

// The PDF renderer: a child of the host that renders one document's pages
// within limits the operating system holds it to (CGPDFRenderChild.h).

#include "platform/coregraphics/CGPDFRenderChild.h"

int main(int argc, char** argv) { return CGPDFRendererMain(argc, argv); }

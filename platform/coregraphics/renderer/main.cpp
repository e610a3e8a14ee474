// The PDF renderer: a child of the host that renders one document's pages
// within limits the operating system holds it to (CGPDFRenderChild.h).

#include "platform/coregraphics/CGPDFRenderChild.h"

#if defined(__SANITIZE_ADDRESS__)
#define QX_RENDERER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QX_RENDERER_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(QX_RENDERER_ADDRESS_SANITIZER)
// The address sanitizer holds freed memory back (256 MB of it by default)
// before it is used again: resident memory the host counts against the
// renderer's limit, which a page within every budget would pass.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

int main(int argc, char** argv) { return CGPDFRendererMain(argc, argv); }

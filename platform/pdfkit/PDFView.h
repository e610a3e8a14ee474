#pragma once

// PDFKit's document view: the document's pages one after another (top to
// bottom, or left to right), each page's crop box at `scaleFactor` points
// per page point, on a grey background. The pages that meet the view's
// bounds get layers of their own (the view's layer's sublayers), empty at
// first, when the view lays out; each is rendered by poppler at the scale
// times the screen's scale off the main thread, one page at a time for all
// views, and becomes the layer's contents on the main thread when it is
// done. A page already rendered (or under way) at that scale is not
// rendered again, and a render nobody waits for any more is not started.
// The view does not scroll: the pages start at its top-left corner.

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "platform/pdfkit/PDFDocument.h"
#include "platform/uikit/UIView.h"

enum PDFDisplayDirection : int64_t {
  kPDFDisplayDirectionVertical = 0,
  kPDFDisplayDirectionHorizontal = 1,
};

class PDFView : public UIView {
 public:
  PDFView();

  const PDFDocumentPtr& document() const { return document_; }
  void setDocument(PDFDocumentPtr document);
  PDFDisplayDirection displayDirection() const { return direction_; }
  void setDisplayDirection(PDFDisplayDirection direction);
  double scaleFactor() const { return scaleFactor_; }
  // Values that are not positive and finite are ignored.
  void setScaleFactor(double scale);
  // The scale at which the widest page fills the view's width (vertical
  // display) or the tallest its height (horizontal); 1 without pages or
  // without a size to fill.
  double scaleFactorForSizeToFit() const;
  // While on, every layout sets the scale to the fitting one.
  bool autoScales() const { return autoScales_; }
  void setAutoScales(bool on);

  // The page's frame in the view's coordinates at the current scale.
  CGRect frameForPage(const PDFPagePtr& page) const;

  void layoutSubviews() override;
  std::string className() const override { return "PDFView"; }

  // Room between pages, in page points.
  static constexpr double kPageGap = 8;

 private:
  struct ShownPage {
    std::shared_ptr<CALayer> layer;
    double pixelsPerPoint = 0;  // asked for
    // Set when the render asked for is wanted no more.
    std::shared_ptr<std::atomic<bool>> dropped;
  };
  std::vector<CGRect> pageFrames() const;
  void showVisiblePages();
  void dropPages();
  void render(const PDFPagePtr& page, ShownPage& shown, double pixelsPerPoint);
  void rendered(const std::shared_ptr<std::atomic<bool>>& request, const CGImageRef& image);

  PDFDocumentPtr document_;
  PDFDisplayDirection direction_ = kPDFDisplayDirectionVertical;
  double scaleFactor_ = 1;
  bool autoScales_ = false;
  // Pages with a layer, by index.
  std::map<int64_t, ShownPage> shown_;
};

using PDFViewPtr = std::shared_ptr<PDFView>;

#include "AKPhotoGallery/internal/AKPhotoPDFPreviewVC.h"

#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "platform/uikit/UIImageView.h"

void AKPhotoPDFPreviewVC::prepareForReuse() {
  if (indicatorView()) indicatorView()->stopIndicating();
  thumbnailView()->setHidden(true);
  if (!pdfView_) return;
  pdfView_->setUrl(nullptr);
  pdfView_->setDocument(nullptr);
}

std::shared_ptr<UIView> AKPhotoPDFPreviewVC::createContentView() {
  pdfView_ = AKPDFView::pdfView();
  return pdfView_;
}

void AKPhotoPDFPreviewVC::updateContentView(const AKPhotoPreviewContent& content) {
  if (!pdfView_) return;
  if (auto document = std::dynamic_pointer_cast<PDFDocument>(content)) {
    pdfView_->setDocument(document);
  } else if (auto url = std::dynamic_pointer_cast<NSURL>(content)) {
    pdfView_->setUrl(url);
  }
}

CGSize AKPhotoPDFPreviewVC::contentSize() { return view()->bounds().size; }

void AKPhotoPDFPreviewVC::fetchContent(ProgressBlock, CompleteBlock complete) {
  if (item() && item()->pdfURL()) complete(item()->pdfURL(), nullptr);
}

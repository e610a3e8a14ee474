#pragma once

// The gallery page of a PDF document: the whole page is the document at the
// scale that fits it, without zoom by double tap and without progress ring.

#include <memory>

#include "AKPhotoGallery/internal/AKPDFView.h"
#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"

class AKPhotoPDFPreviewVC : public AKPhotoBasePreviewVC {
 public:
  AKPhotoPreviewClass previewClass() const override { return kAKPhotoPDFPreviewClass; }

  const std::shared_ptr<AKPDFView>& pdfView() const { return pdfView_; }

  void prepareForReuse() override;
  std::shared_ptr<UIView> createContentView() override;
  void updateContentView(const AKPhotoPreviewContent& content) override;
  CGSize contentSize() override;
  void fetchContent(ProgressBlock progress, CompleteBlock complete) override;
  bool enableZoom() override { return false; }
  bool enableIndicatorView() override { return false; }
  AKPhotoPreviewType previewType() const override { return AKPhotoPreviewType::pdf; }

  std::string className() const override { return "AKPhotoPDFPreviewVC"; }

 private:
  std::shared_ptr<AKPDFView> pdfView_;
};

#pragma once

// The gallery's horizontal paging surface: one slot per item, each as large as
// the main screen, with a 20-point gap between neighbours. It makes room for
// items loaded in front of or behind the current ones and places preview
// controllers' views into their slots.

#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/uikit/UIScrollView.h"

class AKPhotoGalleryItem;
class UIViewController;

class AKPhotoGalleryScrollView : public UIScrollView {
 public:
  static constexpr double kPageGap = 20;

  explicit AKPhotoGalleryScrollView(const CGRect& frame);

  // Width of one page plus the gap (from the main screen, not this view).
  static double pageStride();
  static CGRect pageFrame(size_t index);
  static double contentWidth(size_t slots);

  // Prepends n empty slots and keeps the page on screen where it was.
  void insertEmptyPagesBefore(size_t count);
  void appendEmptyPages(size_t count);
  // Puts the controller's view into slot `index` (which must exist).
  void placePreviewVC(const std::shared_ptr<UIViewController>& controller,
                      const std::shared_ptr<AKPhotoGalleryItem>& item, size_t index);

  // A touch on a slider turns scrolling off, so dragging a video's time
  // slider does not page; a touch on anything else turns it back on.
  std::shared_ptr<UIView> hitTest(const CGPoint& point, UIEvent* event) override;

  const std::vector<std::shared_ptr<UIView>>& views() const { return views_; }
  std::shared_ptr<UIView> viewForItem(const std::shared_ptr<AKPhotoGalleryItem>& item) const;

  std::string className() const override { return "AKPhotoGalleryScrollView"; }

 private:
  std::vector<std::shared_ptr<UIView>> views_;
  std::unordered_map<const AKPhotoGalleryItem*, std::shared_ptr<UIView>> items_;
  // Keeps the items whose addresses key items_ alive as long as their entry.
  std::unordered_map<const AKPhotoGalleryItem*, std::shared_ptr<AKPhotoGalleryItem>> keys_;
};

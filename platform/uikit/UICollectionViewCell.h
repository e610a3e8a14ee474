#pragma once

// The views a collection view places: reusable views (cells, headers,
// footers) that it dequeues, positions from layout attributes and queues
// again once they scroll away.

#include <string>

#include "UIView.h"
#include "platform/foundation/ThreadChecks.h"

struct UICollectionViewLayoutAttributes;

class UICollectionReusableView : public UIView {
 public:
  using UIView::UIView;
  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  // Called when the view comes out of the reuse queue for another item.
  virtual void prepareForReuse() {}
  virtual void applyLayoutAttributes(const UICollectionViewLayoutAttributes& attributes);

 private:
  friend class UICollectionView;
  std::string reuseIdentifier_;
};

class UICollectionViewCell : public UICollectionReusableView {
 public:
  using UICollectionReusableView::UICollectionReusableView;
  // Where the cell's content goes; made on first use, sized with the cell.
  std::shared_ptr<UIView> contentView();
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected) {
    QX_DCHECK_MAIN_THREAD();
    selected_ = selected;
  }
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool highlighted) {
    QX_DCHECK_MAIN_THREAD();
    highlighted_ = highlighted;
  }
  void prepareForReuse() override;
  void layoutSubviews() override;

 private:
  std::shared_ptr<UIView> contentView_;
  bool selected_ = false;
  bool highlighted_ = false;
};

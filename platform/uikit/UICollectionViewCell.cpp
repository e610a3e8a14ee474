#include "UICollectionViewCell.h"

#include "UICollectionViewLayout.h"

void UICollectionReusableView::applyLayoutAttributes(
    const UICollectionViewLayoutAttributes& attributes) {
  setFrame(attributes.frame);
  setAlpha(attributes.alpha);
  setHidden(attributes.hidden);
}

std::shared_ptr<UIView> UICollectionViewCell::contentView() {
  if (!contentView_) {
    contentView_ = std::make_shared<UIView>(bounds());
    insertSubviewAtIndex(contentView_, 0);
  }
  return contentView_;
}

void UICollectionViewCell::prepareForReuse() {
  setSelected(false);
  setHighlighted(false);
}

void UICollectionViewCell::layoutSubviews() {
  UICollectionReusableView::layoutSubviews();
  if (contentView_) contentView_->setFrame(bounds());
}

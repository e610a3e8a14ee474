#include "UICollectionViewLayout.h"

#include <algorithm>

#include "UICollectionView.h"
#include "platform/foundation/ThreadChecks.h"

// --- Base layout: nothing to place ---

std::vector<UICollectionViewLayoutAttributes>
UICollectionViewLayout::layoutAttributesForElementsInRect(const CGRect&) const {
  return {};
}

std::optional<UICollectionViewLayoutAttributes>
UICollectionViewLayout::layoutAttributesForItemAtIndexPath(const NSIndexPath&) const {
  return std::nullopt;
}

std::optional<UICollectionViewLayoutAttributes>
UICollectionViewLayout::layoutAttributesForSupplementaryViewOfKind(const std::string&,
                                                                   const NSIndexPath&) const {
  return std::nullopt;
}

bool UICollectionViewLayout::shouldInvalidateLayoutForBoundsChange(const CGRect&) const {
  return false;
}

void UICollectionViewLayout::invalidateLayout() {
  QX_DCHECK_MAIN_THREAD();
  if (!collectionView_) return;
  collectionView_->layoutStale_ = true;
  collectionView_->setNeedsLayout();
}

// --- Flow layout ---

void UICollectionViewFlowLayout::setItemSize(const CGSize& s) {
  itemSize_ = s;
  invalidateLayout();
}

void UICollectionViewFlowLayout::setMinimumLineSpacing(double v) {
  lineSpacing_ = v;
  invalidateLayout();
}

void UICollectionViewFlowLayout::setMinimumInteritemSpacing(double v) {
  interitemSpacing_ = v;
  invalidateLayout();
}

void UICollectionViewFlowLayout::setSectionInset(const UIEdgeInsets& v) {
  sectionInset_ = v;
  invalidateLayout();
}

void UICollectionViewFlowLayout::setScrollDirection(UICollectionViewScrollDirection d) {
  direction_ = d;
  invalidateLayout();
}

void UICollectionViewFlowLayout::setHeaderReferenceSize(const CGSize& s) {
  headerSize_ = s;
  invalidateLayout();
}

void UICollectionViewFlowLayout::setFooterReferenceSize(const CGSize& s) {
  footerSize_ = s;
  invalidateLayout();
}

namespace {

// Flow geometry is computed along two axes: `main` is the scrolling axis,
// `cross` the one lines fill.
struct Axes {
  bool vertical;
  CGRect rect(double cross, double main, double crossSize, double mainSize) const {
    return vertical ? CGRectMake(cross, main, crossSize, mainSize)
                    : CGRectMake(main, cross, mainSize, crossSize);
  }
  double cross(const CGSize& s) const { return vertical ? s.width : s.height; }
  double main(const CGSize& s) const { return vertical ? s.height : s.width; }
};

}  // namespace

double UICollectionViewFlowLayout::layoutSection(int64_t s, double main, double crossExtent) {
  UICollectionView& cv = *collectionView();
  auto* flow = dynamic_cast<UICollectionViewDelegateFlowLayout*>(cv.delegate().get());
  auto* self = this;
  Axes ax{direction_ == UICollectionViewScrollDirection::Vertical};
  UIEdgeInsets inset = sectionInset_;
  double lineSpacing = lineSpacing_;
  double interSpacing = interitemSpacing_;
  CGSize header = headerSize_;
  CGSize footer = footerSize_;
  if (flow) {
    inset = flow->collectionViewLayoutInsetForSectionAtIndex(cv, *self, s).value_or(inset);
    lineSpacing = flow->collectionViewLayoutMinimumLineSpacingForSectionAtIndex(cv, *self, s)
                      .value_or(lineSpacing);
    interSpacing = flow->collectionViewLayoutMinimumInteritemSpacingForSectionAtIndex(cv, *self, s)
                       .value_or(interSpacing);
    header = flow->collectionViewLayoutReferenceSizeForHeaderInSection(cv, *self, s).value_or(header);
    footer = flow->collectionViewLayoutReferenceSizeForFooterInSection(cv, *self, s).value_or(footer);
  }
  double crossStart = ax.vertical ? inset.left : inset.top;
  double crossEnd = ax.vertical ? inset.right : inset.bottom;
  double mainStart = ax.vertical ? inset.top : inset.left;
  double mainEnd = ax.vertical ? inset.bottom : inset.right;
  double room = crossExtent - crossStart - crossEnd;

  Section section;
  double begin = main;
  if (ax.main(header) > 0) {
    UICollectionViewLayoutAttributes a;
    a.indexPath = {s, 0};
    a.representedElementCategory = UICollectionElementCategory::SupplementaryView;
    a.representedElementKind = UICollectionElementKindSectionHeader;
    a.frame = ax.rect(0, main, crossExtent, ax.main(header));
    section.header = a;
    main += ax.main(header);
  }
  main += mainStart;
  int64_t count = cv.numberOfItemsInSection(s);
  std::vector<CGSize> sizes(static_cast<size_t>(count), itemSize_);
  if (flow) {
    for (int64_t i = 0; i < count; ++i) {
      sizes[static_cast<size_t>(i)] =
          flow->collectionViewLayoutSizeForItemAtIndexPath(cv, *self, {s, i}).value_or(itemSize_);
    }
  }
  // Lines are filled greedily.
  double lastGap = interSpacing;
  size_t i = 0;
  bool firstLine = true;
  while (i < sizes.size()) {
    size_t end = i;
    double used = 0;
    while (end < sizes.size()) {
      double add = ax.cross(sizes[end]) + (end > i ? interSpacing : 0);
      if (end > i && used + add > room + 1e-9) break;
      used += add;
      ++end;
    }
    size_t n = end - i;
    bool lastLine = end == sizes.size();
    double widths = 0;
    double lineMain = 0;
    for (size_t k = i; k < end; ++k) {
      widths += ax.cross(sizes[k]);
      lineMain = std::max(lineMain, ax.main(sizes[k]));
    }
    // The last line of several keeps the columns of the line before it; any
    // other line is justified, and a lone item is centred.
    double gap = lastGap;
    double cross = crossStart;
    if (!(lastLine && !firstLine)) {
      if (n > 1) {
        gap = (room - widths) / static_cast<double>(n - 1);
      } else {
        cross += (room - widths) / 2;
      }
    }
    if (!lastLine) lastGap = gap;
    if (!firstLine) main += lineSpacing;
    for (size_t k = i; k < end; ++k) {
      UICollectionViewLayoutAttributes a;
      a.indexPath = {s, static_cast<int64_t>(k)};
      double itemMain = ax.main(sizes[k]);
      a.frame = ax.rect(cross, main + (lineMain - itemMain) / 2, ax.cross(sizes[k]), itemMain);
      section.items.push_back(a);
      cross += ax.cross(sizes[k]) + gap;
    }
    main += lineMain;
    firstLine = false;
    i = end;
  }
  main += mainEnd;
  if (ax.main(footer) > 0) {
    UICollectionViewLayoutAttributes a;
    a.indexPath = {s, 0};
    a.representedElementCategory = UICollectionElementCategory::SupplementaryView;
    a.representedElementKind = UICollectionElementKindSectionFooter;
    a.frame = ax.rect(0, main, crossExtent, ax.main(footer));
    section.footer = a;
    main += ax.main(footer);
  }
  section.extent = ax.rect(0, begin, crossExtent, main - begin);
  sections_.push_back(std::move(section));
  return main;
}

void UICollectionViewFlowLayout::prepareLayout() {
  sections_.clear();
  contentSize_ = CGSizeZero;
  UICollectionView* cv = collectionView();
  if (!cv) return;
  Axes ax{direction_ == UICollectionViewScrollDirection::Vertical};
  UIEdgeInsets in = cv->adjustedContentInset();
  CGSize size = cv->bounds().size;
  preparedFor_ = size;
  double crossExtent = ax.vertical ? size.width - in.left - in.right
                                   : size.height - in.top - in.bottom;
  double main = 0;
  for (int64_t s = 0; s < cv->numberOfSections(); ++s) main = layoutSection(s, main, crossExtent);
  contentSize_ = ax.vertical ? CGSizeMake(crossExtent, main) : CGSizeMake(main, crossExtent);
}

std::vector<UICollectionViewLayoutAttributes>
UICollectionViewFlowLayout::layoutAttributesForElementsInRect(const CGRect& rect) const {
  std::vector<UICollectionViewLayoutAttributes> out;
  for (const Section& s : sections_) {
    if (!CGRectIntersectsRect(s.extent, rect)) continue;
    if (s.header && CGRectIntersectsRect(s.header->frame, rect)) out.push_back(*s.header);
    for (const auto& a : s.items) {
      if (CGRectIntersectsRect(a.frame, rect)) out.push_back(a);
    }
    if (s.footer && CGRectIntersectsRect(s.footer->frame, rect)) out.push_back(*s.footer);
  }
  return out;
}

std::optional<UICollectionViewLayoutAttributes>
UICollectionViewFlowLayout::layoutAttributesForItemAtIndexPath(const NSIndexPath& path) const {
  if (path.section < 0 || path.section >= static_cast<int64_t>(sections_.size())) {
    return std::nullopt;
  }
  const auto& items = sections_[static_cast<size_t>(path.section)].items;
  if (path.item < 0 || path.item >= static_cast<int64_t>(items.size())) return std::nullopt;
  return items[static_cast<size_t>(path.item)];
}

std::optional<UICollectionViewLayoutAttributes>
UICollectionViewFlowLayout::layoutAttributesForSupplementaryViewOfKind(
    const std::string& kind, const NSIndexPath& path) const {
  if (path.section < 0 || path.section >= static_cast<int64_t>(sections_.size())) {
    return std::nullopt;
  }
  const Section& s = sections_[static_cast<size_t>(path.section)];
  if (kind == UICollectionElementKindSectionHeader) return s.header;
  if (kind == UICollectionElementKindSectionFooter) return s.footer;
  return std::nullopt;
}

bool UICollectionViewFlowLayout::shouldInvalidateLayoutForBoundsChange(
    const CGRect& newBounds) const {
  return newBounds.size != preparedFor_;
}

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

// What one section is laid out with: the layout's own values unless the
// delegate answers for the section.
struct SectionMetrics {
  UIEdgeInsets inset;
  double lineSpacing;
  double interSpacing;
  CGSize header;
  CGSize footer;
};

UICollectionViewLayoutAttributes SupplementaryAttributes(const std::string& kind, int64_t section,
                                                         const CGRect& frame) {
  UICollectionViewLayoutAttributes a;
  a.indexPath = {section, 0};
  a.representedElementCategory = UICollectionElementCategory::SupplementaryView;
  a.representedElementKind = kind;
  a.frame = frame;
  return a;
}

// Every item's size in the section: the layout's item size unless the
// delegate answers for the item.
std::vector<CGSize> ItemSizes(UICollectionView& cv, UICollectionViewDelegateFlowLayout* flow,
                              UICollectionViewLayout& layout, int64_t section, CGSize itemSize) {
  const int64_t count = cv.numberOfItemsInSection(section);
  std::vector<CGSize> sizes(static_cast<size_t>(count), itemSize);
  if (!flow) return sizes;
  for (int64_t i = 0; i < count; ++i) {
    sizes[static_cast<size_t>(i)] =
        flow->collectionViewLayoutSizeForItemAtIndexPath(cv, layout, {section, i}).value_or(itemSize);
  }
  return sizes;
}

// One line of items [begin, end) and how it is placed.
struct FlowLine {
  size_t begin;
  size_t end;
  double widths = 0;    // the items' cross sizes, summed
  double lineMain = 0;  // the tallest item along the main axis
};

// Fills a line greedily from `begin`: as many items as fit in `room` with
// `spacing` between them, at least one.
FlowLine FillLine(const std::vector<CGSize>& sizes, size_t begin, double room, double spacing,
                  const Axes& ax) {
  FlowLine line{begin, begin};
  double used = 0;
  while (line.end < sizes.size()) {
    double add = ax.cross(sizes[line.end]) + (line.end > begin ? spacing : 0);
    if (line.end > begin && used + add > room + 1e-9) break;
    used += add;
    ++line.end;
  }
  for (size_t k = line.begin; k < line.end; ++k) {
    line.widths += ax.cross(sizes[k]);
    line.lineMain = std::max(line.lineMain, ax.main(sizes[k]));
  }
  return line;
}

// Places the items of `sizes` in lines from `main` on, into `items`; answers
// where the last line ends along the main axis.
double PlaceLines(const std::vector<CGSize>& sizes, int64_t section, const SectionMetrics& m,
                  double crossStart, double room, double main, const Axes& ax,
                  std::vector<UICollectionViewLayoutAttributes>& items) {
  double lastGap = m.interSpacing;
  bool firstLine = true;
  for (size_t i = 0; i < sizes.size();) {
    const FlowLine line = FillLine(sizes, i, room, m.interSpacing, ax);
    const size_t n = line.end - line.begin;
    const bool lastLine = line.end == sizes.size();
    // The last line of several keeps the columns of the line before it; any
    // other line is justified, and a lone item is centred.
    double gap = lastGap;
    double cross = crossStart;
    if (!(lastLine && !firstLine)) {
      if (n > 1) {
        gap = (room - line.widths) / static_cast<double>(n - 1);
      } else {
        cross += (room - line.widths) / 2;
      }
    }
    if (!lastLine) lastGap = gap;
    if (!firstLine) main += m.lineSpacing;
    for (size_t k = line.begin; k < line.end; ++k) {
      UICollectionViewLayoutAttributes a;
      a.indexPath = {section, static_cast<int64_t>(k)};
      double itemMain = ax.main(sizes[k]);
      a.frame = ax.rect(cross, main + (line.lineMain - itemMain) / 2, ax.cross(sizes[k]), itemMain);
      items.push_back(a);
      cross += ax.cross(sizes[k]) + gap;
    }
    main += line.lineMain;
    firstLine = false;
    i = line.end;
  }
  return main;
}

}  // namespace

double UICollectionViewFlowLayout::layoutSection(int64_t s, double main, double crossExtent) {
  UICollectionView& cv = *collectionView();
  auto* flow = dynamic_cast<UICollectionViewDelegateFlowLayout*>(cv.delegate().get());
  Axes ax{direction_ == UICollectionViewScrollDirection::Vertical};
  SectionMetrics m{sectionInset_, lineSpacing_, interitemSpacing_, headerSize_, footerSize_};
  if (flow) {
    m.inset = flow->collectionViewLayoutInsetForSectionAtIndex(cv, *this, s).value_or(m.inset);
    m.lineSpacing = flow->collectionViewLayoutMinimumLineSpacingForSectionAtIndex(cv, *this, s)
                        .value_or(m.lineSpacing);
    m.interSpacing = flow->collectionViewLayoutMinimumInteritemSpacingForSectionAtIndex(cv, *this, s)
                         .value_or(m.interSpacing);
    m.header = flow->collectionViewLayoutReferenceSizeForHeaderInSection(cv, *this, s)
                   .value_or(m.header);
    m.footer = flow->collectionViewLayoutReferenceSizeForFooterInSection(cv, *this, s)
                   .value_or(m.footer);
  }
  const double crossStart = ax.vertical ? m.inset.left : m.inset.top;
  const double crossEnd = ax.vertical ? m.inset.right : m.inset.bottom;
  const double room = crossExtent - crossStart - crossEnd;

  Section section;
  const double begin = main;
  if (ax.main(m.header) > 0) {
    section.header = SupplementaryAttributes(UICollectionElementKindSectionHeader, s,
                                             ax.rect(0, main, crossExtent, ax.main(m.header)));
    main += ax.main(m.header);
  }
  main += ax.vertical ? m.inset.top : m.inset.left;
  main = PlaceLines(ItemSizes(cv, flow, *this, s, itemSize_), s, m, crossStart, room, main, ax, section.items);
  main += ax.vertical ? m.inset.bottom : m.inset.right;
  if (ax.main(m.footer) > 0) {
    section.footer = SupplementaryAttributes(UICollectionElementKindSectionFooter, s,
                                             ax.rect(0, main, crossExtent, ax.main(m.footer)));
    main += ax.main(m.footer);
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

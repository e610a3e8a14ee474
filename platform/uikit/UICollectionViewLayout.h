#pragma once

// Layouts tell a collection view where every item and supplementary view
// goes; the flow layout lines items up in rows (or columns) section after
// section, with optional headers and footers.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "NSIndexPath.h"
#include "platform/uikit/UIGeometry.h"
#include "platform/foundation/NSObject.h"

class UICollectionView;
class UICollectionViewLayout;

inline constexpr const char* UICollectionElementKindSectionHeader =
    "UICollectionElementKindSectionHeader";
inline constexpr const char* UICollectionElementKindSectionFooter =
    "UICollectionElementKindSectionFooter";

enum class UICollectionElementCategory { Cell = 0, SupplementaryView = 1, DecorationView = 2 };

struct UICollectionViewLayoutAttributes {
  NSIndexPath indexPath;
  UICollectionElementCategory representedElementCategory = UICollectionElementCategory::Cell;
  std::string representedElementKind;  // empty for cells
  CGRect frame;
  double alpha = 1;
  int64_t zIndex = 0;
  bool hidden = false;

  CGPoint center() const { return CGPointMake(CGRectGetMidX(frame), CGRectGetMidY(frame)); }
  CGSize size() const { return frame.size; }
};

class UICollectionViewLayout : public NSObject {
 public:
  UICollectionView* collectionView() const { return collectionView_; }
  // Computes the layout; called by the collection view before it lays out
  // after an invalidation.
  virtual void prepareLayout() {}
  virtual CGSize collectionViewContentSize() const { return CGSizeZero; }
  virtual std::vector<UICollectionViewLayoutAttributes> layoutAttributesForElementsInRect(
      const CGRect& rect) const;
  virtual std::optional<UICollectionViewLayoutAttributes> layoutAttributesForItemAtIndexPath(
      const NSIndexPath& path) const;
  virtual std::optional<UICollectionViewLayoutAttributes>
  layoutAttributesForSupplementaryViewOfKind(const std::string& kind,
                                             const NSIndexPath& path) const;
  virtual bool shouldInvalidateLayoutForBoundsChange(const CGRect& newBounds) const;
  void invalidateLayout();

 private:
  friend class UICollectionView;
  UICollectionView* collectionView_ = nullptr;  // the view owns its layout
};

enum class UICollectionViewScrollDirection { Vertical = 0, Horizontal = 1 };

class UICollectionViewFlowLayout : public UICollectionViewLayout {
 public:
  CGSize itemSize() const { return itemSize_; }
  void setItemSize(const CGSize& s);
  double minimumLineSpacing() const { return lineSpacing_; }
  void setMinimumLineSpacing(double v);
  double minimumInteritemSpacing() const { return interitemSpacing_; }
  void setMinimumInteritemSpacing(double v);
  UIEdgeInsets sectionInset() const { return sectionInset_; }
  void setSectionInset(const UIEdgeInsets& v);
  UICollectionViewScrollDirection scrollDirection() const { return direction_; }
  void setScrollDirection(UICollectionViewScrollDirection d);
  CGSize headerReferenceSize() const { return headerSize_; }
  void setHeaderReferenceSize(const CGSize& s);
  CGSize footerReferenceSize() const { return footerSize_; }
  void setFooterReferenceSize(const CGSize& s);

  void prepareLayout() override;
  CGSize collectionViewContentSize() const override { return contentSize_; }
  std::vector<UICollectionViewLayoutAttributes> layoutAttributesForElementsInRect(
      const CGRect& rect) const override;
  std::optional<UICollectionViewLayoutAttributes> layoutAttributesForItemAtIndexPath(
      const NSIndexPath& path) const override;
  std::optional<UICollectionViewLayoutAttributes> layoutAttributesForSupplementaryViewOfKind(
      const std::string& kind, const NSIndexPath& path) const override;
  bool shouldInvalidateLayoutForBoundsChange(const CGRect& newBounds) const override;

 private:
  struct Section {
    std::vector<UICollectionViewLayoutAttributes> items;
    std::optional<UICollectionViewLayoutAttributes> header;
    std::optional<UICollectionViewLayoutAttributes> footer;
    CGRect extent;  // everything of the section, for quick rejection
  };
  // Lays out one section starting at `main` along the scrolling axis and
  // returns where the next one starts.
  double layoutSection(int64_t section, double main, double crossExtent);

  CGSize itemSize_ = CGSizeMake(50, 50);
  double lineSpacing_ = 10;
  double interitemSpacing_ = 10;
  UIEdgeInsets sectionInset_;
  UICollectionViewScrollDirection direction_ = UICollectionViewScrollDirection::Vertical;
  CGSize headerSize_;
  CGSize footerSize_;
  std::vector<Section> sections_;
  CGSize contentSize_;
  CGSize preparedFor_;
};

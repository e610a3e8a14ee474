#pragma once

// A scroll view of items laid out by a UICollectionViewLayout. Only the items
// whose frames meet the bounds have cells: the layout pass (every scroll
// marks it) asks the data source for the cells that came into view, tells the
// delegate which appeared and disappeared, and queues cells that left for
// reuse. Item counts are read from the data source on reloadData and batch
// updates. As on the platform, look-ups of an index path outside them answer
// nothing and selection changes there do nothing; scrolling to one is a
// fatal stop, and a batch whose counts do not add up reloads everything.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "UICollectionViewCell.h"
#include "UICollectionViewLayout.h"
#include "platform/uikit/UIReusableViews.h"
#include "UIScrollView.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"

class UICollectionView;

class UICollectionViewDataSource {
 public:
  virtual ~UICollectionViewDataSource() = default;
  virtual int64_t numberOfSectionsInCollectionView(UICollectionView&) { return 1; }
  virtual int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t section) = 0;
  virtual std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(
      UICollectionView&, const NSIndexPath& path) = 0;
  virtual std::shared_ptr<UICollectionReusableView>
  collectionViewViewForSupplementaryElementOfKind(UICollectionView&, const std::string&,
                                                  const NSIndexPath&) {
    return nullptr;
  }
};

class UICollectionViewDelegate : public UIScrollViewDelegate {
 public:
  virtual bool collectionViewShouldHighlightItemAtIndexPath(UICollectionView&, const NSIndexPath&) {
    return true;
  }
  virtual void collectionViewDidHighlightItemAtIndexPath(UICollectionView&, const NSIndexPath&) {}
  virtual void collectionViewDidUnhighlightItemAtIndexPath(UICollectionView&, const NSIndexPath&) {}
  virtual bool collectionViewShouldSelectItemAtIndexPath(UICollectionView&, const NSIndexPath&) {
    return true;
  }
  virtual void collectionViewDidSelectItemAtIndexPath(UICollectionView&, const NSIndexPath&) {}
  virtual bool collectionViewShouldDeselectItemAtIndexPath(UICollectionView&, const NSIndexPath&) {
    return true;
  }
  virtual void collectionViewDidDeselectItemAtIndexPath(UICollectionView&, const NSIndexPath&) {}
  virtual void collectionViewWillDisplayCell(UICollectionView&, UICollectionViewCell&,
                                             const NSIndexPath&) {}
  virtual void collectionViewDidEndDisplayingCell(UICollectionView&, UICollectionViewCell&,
                                                  const NSIndexPath&) {}
  virtual void collectionViewWillDisplaySupplementaryView(UICollectionView&,
                                                          UICollectionReusableView&,
                                                          const std::string&, const NSIndexPath&) {}
  virtual void collectionViewDidEndDisplayingSupplementaryView(UICollectionView&,
                                                               UICollectionReusableView&,
                                                               const std::string&,
                                                               const NSIndexPath&) {}
};

// Per-item sizes and spacings for a flow layout; "not implemented" falls back
// to the layout's own values.
class UICollectionViewDelegateFlowLayout : public UICollectionViewDelegate {
 public:
  virtual std::optional<CGSize> collectionViewLayoutSizeForItemAtIndexPath(
      UICollectionView&, UICollectionViewLayout&, const NSIndexPath&) {
    return std::nullopt;
  }
  virtual std::optional<UIEdgeInsets> collectionViewLayoutInsetForSectionAtIndex(
      UICollectionView&, UICollectionViewLayout&, int64_t) {
    return std::nullopt;
  }
  virtual std::optional<double> collectionViewLayoutMinimumLineSpacingForSectionAtIndex(
      UICollectionView&, UICollectionViewLayout&, int64_t) {
    return std::nullopt;
  }
  virtual std::optional<double> collectionViewLayoutMinimumInteritemSpacingForSectionAtIndex(
      UICollectionView&, UICollectionViewLayout&, int64_t) {
    return std::nullopt;
  }
  virtual std::optional<CGSize> collectionViewLayoutReferenceSizeForHeaderInSection(
      UICollectionView&, UICollectionViewLayout&, int64_t) {
    return std::nullopt;
  }
  virtual std::optional<CGSize> collectionViewLayoutReferenceSizeForFooterInSection(
      UICollectionView&, UICollectionViewLayout&, int64_t) {
    return std::nullopt;
  }
};

enum UICollectionViewScrollPosition : uint64_t {
  UICollectionViewScrollPositionNone = 0,
  UICollectionViewScrollPositionTop = 1 << 0,
  UICollectionViewScrollPositionCenteredVertically = 1 << 1,
  UICollectionViewScrollPositionBottom = 1 << 2,
  UICollectionViewScrollPositionLeft = 1 << 3,
  UICollectionViewScrollPositionCenteredHorizontally = 1 << 4,
  UICollectionViewScrollPositionRight = 1 << 5,
};

class UICollectionView : public UIScrollView {
 public:
  UICollectionView(const CGRect& frame, std::shared_ptr<UICollectionViewLayout> layout);
  ~UICollectionView() override;

  const std::shared_ptr<UICollectionViewLayout>& collectionViewLayout() const { return layout_; }
  void setCollectionViewLayout(std::shared_ptr<UICollectionViewLayout> layout);
  std::shared_ptr<UICollectionViewDataSource> dataSource() const { return dataSource_.lock(); }
  void setDataSource(const std::shared_ptr<UICollectionViewDataSource>& ds);
  std::shared_ptr<UICollectionViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UICollectionViewDelegate>& d);

  using CellFactory = std::function<std::shared_ptr<UICollectionViewCell>()>;
  using SupplementaryFactory = std::function<std::shared_ptr<UICollectionReusableView>()>;
  void registerClassForCellWithReuseIdentifier(CellFactory factory, const std::string& identifier);
  template <typename Cell>
  void registerClassForCellWithReuseIdentifier(const std::string& identifier) {
    registerClassForCellWithReuseIdentifier([] { return std::make_shared<Cell>(); }, identifier);
  }
  void registerClassForSupplementaryViewOfKind(SupplementaryFactory factory,
                                               const std::string& kind,
                                               const std::string& identifier);
  // A queued cell (prepared for reuse) or a new one; an identifier that was
  // never registered is a fatal stop.
  std::shared_ptr<UICollectionViewCell> dequeueReusableCellWithReuseIdentifier(
      const std::string& identifier, const NSIndexPath& path);
  std::shared_ptr<UICollectionReusableView> dequeueReusableSupplementaryViewOfKind(
      const std::string& kind, const std::string& identifier, const NSIndexPath& path);

  int64_t numberOfSections();
  int64_t numberOfItemsInSection(int64_t section);
  // Re-reads the data source at the next layout pass; selection is cleared.
  void reloadData();
  // Runs `updates` (which changes the data source and names the inserted,
  // deleted and reloaded items), checks the counts add up, moves cells and
  // selection to their new index paths and lays out; `completion` runs on
  // the main run loop afterwards.
  void performBatchUpdates(const std::function<void()>& updates,
                           OnceCallback<void(bool)> completion = nullptr);
  void insertItemsAtIndexPaths(const std::vector<NSIndexPath>& paths);
  void deleteItemsAtIndexPaths(const std::vector<NSIndexPath>& paths);
  void reloadItemsAtIndexPaths(const std::vector<NSIndexPath>& paths);

  // nullptr when the item has no cell on screen or is past the data.
  std::shared_ptr<UICollectionViewCell> cellForItemAtIndexPath(const NSIndexPath& path);
  std::optional<NSIndexPath> indexPathForCell(const UICollectionViewCell* cell) const;
  // In the collection view's bounds space (content coordinates).
  std::optional<NSIndexPath> indexPathForItemAtPoint(const CGPoint& point);
  std::vector<std::shared_ptr<UICollectionViewCell>> visibleCells() const;
  std::vector<NSIndexPath> indexPathsForVisibleItems() const;
  std::shared_ptr<UICollectionReusableView> supplementaryViewForElementKind(
      const std::string& kind, const NSIndexPath& path) const;
  std::optional<UICollectionViewLayoutAttributes> layoutAttributesForItemAtIndexPath(
      const NSIndexPath& path);
  void scrollToItemAtIndexPath(const NSIndexPath& path, uint64_t scrollPosition, bool animated);

  bool allowsSelection() const { return allowsSelection_; }
  void setAllowsSelection(bool on) {
    QX_DCHECK_MAIN_THREAD();
    allowsSelection_ = on;
  }
  bool allowsMultipleSelection() const { return allowsMultipleSelection_; }
  void setAllowsMultipleSelection(bool on) {
    QX_DCHECK_MAIN_THREAD();
    allowsMultipleSelection_ = on;
  }
  std::vector<NSIndexPath> indexPathsForSelectedItems() const;
  // Programmatic selection does not call the delegate, as on the platform.
  void selectItemAtIndexPath(const std::optional<NSIndexPath>& path, bool animated,
                             uint64_t scrollPosition);
  void deselectItemAtIndexPath(const NSIndexPath& path, bool animated);

  void layoutSubviews() override;
  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;
  void touchesCancelled(const UITouchSet& touches, UIEvent* event) override;

  // How many cells wait in the reuse queue of `identifier`.
  size_t queuedCellCount(const std::string& identifier) const;

 private:
  struct Key {
    UICollectionElementCategory category;
    std::string kind;
    NSIndexPath path;
    auto operator<=>(const Key&) const = default;
  };
  struct Batch {
    UIBatchChanges changes;
  };

  friend class UICollectionViewLayout;
  void reloadCountsIfNeeded();
  void prepareLayoutIfNeeded();
  void updateVisibleViews();
  void showElement(const UICollectionViewLayoutAttributes& attributes);
  void hideElement(const Key& key, const std::shared_ptr<UICollectionReusableView>& view);
  std::shared_ptr<UICollectionReusableView> dequeue(const std::string& queueKey,
                                                    const std::string& identifier);
  void showSelected(const NSIndexPath& path, bool selected);
  void userTapped(const NSIndexPath& path);
  void commitBatch(const UIBatchChanges& changes);
  std::optional<NSIndexPath> itemAtTouch(const UITouchSet& touches);

  std::shared_ptr<UICollectionViewLayout> layout_;
  std::weak_ptr<UICollectionViewDataSource> dataSource_;
  std::weak_ptr<UICollectionViewDelegate> delegate_;
  UIReuseQueues queues_;
  UISectionCounts counts_;
  bool countsStale_ = true;
  bool layoutStale_ = true;
  CGSize laidOutSize_;
  std::map<Key, std::shared_ptr<UICollectionReusableView>> visible_;
  UIItemSelection selection_;
  std::optional<NSIndexPath> highlighted_;
  bool allowsSelection_ = true;
  bool allowsMultipleSelection_ = false;
  std::unique_ptr<Batch> batch_;
};

#include "UICollectionView.h"

#include <algorithm>

#include "UITouch.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/ThreadChecks.h"

namespace {

const char* const kCellKind = "UICollectionElementKindCell";

std::string queueKey(const std::string& kind, const std::string& identifier) {
  return kind + "/" + identifier;
}

}  // namespace

UICollectionView::UICollectionView(const CGRect& frame,
                                   std::shared_ptr<UICollectionViewLayout> layout)
    : UIScrollView(frame),
      selection_([this](const NSIndexPath& path, bool on) { showSelected(path, on); }) {
  setCollectionViewLayout(std::move(layout));
}

UICollectionView::~UICollectionView() {
  if (layout_) layout_->collectionView_ = nullptr;
}

void UICollectionView::setCollectionViewLayout(std::shared_ptr<UICollectionViewLayout> layout) {
  QX_DCHECK_MAIN_THREAD();
  NSParameterAssert(layout != nullptr);
  if (layout_) layout_->collectionView_ = nullptr;
  layout_ = std::move(layout);
  layout_->collectionView_ = this;
  layoutStale_ = true;
  setNeedsLayout();
}

void UICollectionView::setDataSource(const std::shared_ptr<UICollectionViewDataSource>& ds) {
  QX_DCHECK_MAIN_THREAD();
  dataSource_ = ds;
  reloadData();
}

void UICollectionView::setDelegate(const std::shared_ptr<UICollectionViewDelegate>& d) {
  QX_DCHECK_MAIN_THREAD();
  delegate_ = d;
  UIScrollView::setDelegate(d);
  layoutStale_ = true;
  setNeedsLayout();
}

// --- Registration and reuse ---

void UICollectionView::registerClassForCellWithReuseIdentifier(CellFactory factory,
                                                               const std::string& identifier) {
  QX_DCHECK_MAIN_THREAD();
  queues_.registerFactory(queueKey(kCellKind, identifier),
                          [factory = std::move(factory)] { return factory(); });
}

void UICollectionView::registerClassForSupplementaryViewOfKind(SupplementaryFactory factory,
                                                               const std::string& kind,
                                                               const std::string& identifier) {
  QX_DCHECK_MAIN_THREAD();
  queues_.registerFactory(queueKey(kind, identifier),
                          [factory = std::move(factory)] { return factory(); });
}

std::shared_ptr<UICollectionReusableView> UICollectionView::dequeue(const std::string& kind,
                                                                    const std::string& identifier) {
  std::string key = queueKey(kind, identifier);
  if (!queues_.isRegistered(key)) {
    FatalStop("could not dequeue a view of kind: " + kind + " with identifier " + identifier +
              " - must register a nib or a class for the identifier or connect a prototype "
              "cell in a storyboard");
  }
  auto [view, reused] = queues_.dequeue(key);
  auto reusable = std::static_pointer_cast<UICollectionReusableView>(view);
  reusable->reuseIdentifier_ = identifier;
  if (reused) reusable->prepareForReuse();
  return reusable;
}

std::shared_ptr<UICollectionViewCell> UICollectionView::dequeueReusableCellWithReuseIdentifier(
    const std::string& identifier, const NSIndexPath&) {
  QX_DCHECK_MAIN_THREAD();
  return std::static_pointer_cast<UICollectionViewCell>(dequeue(kCellKind, identifier));
}

std::shared_ptr<UICollectionReusableView> UICollectionView::dequeueReusableSupplementaryViewOfKind(
    const std::string& kind, const std::string& identifier, const NSIndexPath&) {
  QX_DCHECK_MAIN_THREAD();
  return dequeue(kind, identifier);
}

size_t UICollectionView::queuedCellCount(const std::string& identifier) const {
  return queues_.queuedCount(queueKey(kCellKind, identifier));
}

// --- Counts and layout ---

void UICollectionView::reloadCountsIfNeeded() {
  if (!countsStale_) return;
  countsStale_ = false;
  auto ds = dataSource();
  counts_.reload(ds ? ds->numberOfSectionsInCollectionView(*this) : 0, [&](int64_t s) {
    return ds->collectionViewNumberOfItemsInSection(*this, s);
  });
}

int64_t UICollectionView::numberOfSections() {
  reloadCountsIfNeeded();
  return counts_.sections();
}

int64_t UICollectionView::numberOfItemsInSection(int64_t section) {
  reloadCountsIfNeeded();
  return counts_.itemsIn(section, "-[UICollectionView numberOfItemsInSection:]");
}

void UICollectionView::prepareLayoutIfNeeded() {
  reloadCountsIfNeeded();
  if (!layoutStale_ && laidOutSize_ != bounds().size &&
      layout_->shouldInvalidateLayoutForBoundsChange(bounds())) {
    layoutStale_ = true;
  }
  if (!layoutStale_) return;
  layoutStale_ = false;
  laidOutSize_ = bounds().size;
  layout_->prepareLayout();
  setContentSize(layout_->collectionViewContentSize());
}

void UICollectionView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  prepareLayoutIfNeeded();
  updateVisibleViews();
}

void UICollectionView::reloadData() {
  QX_DCHECK_MAIN_THREAD();
  countsStale_ = true;
  layoutStale_ = true;
  selection_.clear();
  highlighted_.reset();
  // Every view goes back to its queue; the next layout asks for them anew.
  for (auto& [key, view] : std::map<Key, std::shared_ptr<UICollectionReusableView>>(visible_)) {
    hideElement(key, view);
  }
  setNeedsLayout();
}

void UICollectionView::updateVisibleViews() {
  std::vector<UICollectionViewLayoutAttributes> wanted =
      layout_->layoutAttributesForElementsInRect(bounds());
  std::map<Key, const UICollectionViewLayoutAttributes*> byKey;
  for (const auto& a : wanted) {
    if (a.hidden) continue;
    byKey[{a.representedElementCategory, a.representedElementKind, a.indexPath}] = &a;
  }
  // Views that left go to their queues first, so that newcomers reuse them.
  for (auto& [key, view] : std::map<Key, std::shared_ptr<UICollectionReusableView>>(visible_)) {
    if (!byKey.count(key)) hideElement(key, view);
  }
  for (auto& [key, attributes] : byKey) {
    auto it = visible_.find(key);
    if (it != visible_.end()) {
      it->second->applyLayoutAttributes(*attributes);
    } else {
      showElement(*attributes);
    }
  }
}

void UICollectionView::showElement(const UICollectionViewLayoutAttributes& a) {
  auto ds = dataSource();
  if (!ds) return;
  auto d = delegate();
  Key key{a.representedElementCategory, a.representedElementKind, a.indexPath};
  std::shared_ptr<UICollectionReusableView> view;
  if (a.representedElementCategory == UICollectionElementCategory::Cell) {
    auto cell = ds->collectionViewCellForItemAtIndexPath(*this, a.indexPath);
    if (!cell) {
      FatalStop("the cell returned from -collectionView:cellForItemAtIndexPath: does not have a "
                "reuseIdentifier - cells must be retrieved by calling "
                "-dequeueReusableCellWithReuseIdentifier:forIndexPath:");
    }
    cell->setSelected(selection_.contains(a.indexPath));
    cell->applyLayoutAttributes(a);
    if (d) d->collectionViewWillDisplayCell(*this, *cell, a.indexPath);
    view = cell;
  } else {
    view = ds->collectionViewViewForSupplementaryElementOfKind(*this, a.representedElementKind,
                                                               a.indexPath);
    if (!view) return;
    view->applyLayoutAttributes(a);
    if (d) {
      d->collectionViewWillDisplaySupplementaryView(*this, *view, a.representedElementKind,
                                                    a.indexPath);
    }
  }
  visible_[key] = view;
  addSubview(view);
}

void UICollectionView::hideElement(const Key& key,
                                   const std::shared_ptr<UICollectionReusableView>& view) {
  visible_.erase(key);
  view->removeFromSuperview();
  auto d = delegate();
  bool isCell = key.category == UICollectionElementCategory::Cell;
  if (d && isCell) {
    d->collectionViewDidEndDisplayingCell(*this, static_cast<UICollectionViewCell&>(*view),
                                          key.path);
  } else if (d) {
    d->collectionViewDidEndDisplayingSupplementaryView(*this, *view, key.kind, key.path);
  }
  queues_.enqueue(queueKey(isCell ? kCellKind : key.kind, view->reuseIdentifier()), view);
}

// --- Batch updates ---

void UICollectionView::performBatchUpdates(const std::function<void()>& updates,
                                           OnceCallback<void(bool)> completion) {
  QX_DCHECK_MAIN_THREAD();
  reloadCountsIfNeeded();
  bool outermost = !batch_;
  if (outermost) batch_ = std::make_unique<Batch>();
  if (updates) updates();
  if (!outermost) {
    UIPostBatchCompletion(std::move(completion));
    return;
  }
  auto batch = std::move(batch_);
  commitBatch(batch->changes);
  UIPostBatchCompletion(std::move(completion));
}

void UICollectionView::commitBatch(const UIBatchChanges& changes) {
  UISectionCounts before = counts_;
  countsStale_ = true;
  reloadCountsIfNeeded();
  std::string problem;
  auto applied = changes.apply(before, counts_, "item", &problem);
  if (!applied) {
    // The data changed under the grid without a word (a library change that
    // reached the data source first): start again from what it says now.
    NSLog("[UICollectionView] Performing reloadData as a fallback - " + problem);
    reloadData();
    layoutIfNeeded();
    return;
  }
  const std::map<NSIndexPath, NSIndexPath>& moved = *applied;
  // Cells of deleted and reloaded items go; the others follow their items.
  std::map<Key, std::shared_ptr<UICollectionReusableView>> kept;
  for (auto& [key, view] : std::map<Key, std::shared_ptr<UICollectionReusableView>>(visible_)) {
    if (key.category != UICollectionElementCategory::Cell) {
      if (key.path.section < counts_.sections()) {
        kept[key] = view;
      } else {
        hideElement(key, view);
      }
      continue;
    }
    auto to = moved.find(key.path);
    if (to == moved.end() || changes.reloaded.count(key.path)) {
      hideElement(key, view);
      continue;
    }
    Key next = key;
    next.path = to->second;
    kept[next] = view;
  }
  visible_ = std::move(kept);
  selection_.follow(moved, changes.reloaded);
  layoutStale_ = true;
  setNeedsLayout();
  layoutIfNeeded();
}

void UICollectionView::insertItemsAtIndexPaths(const std::vector<NSIndexPath>& paths) {
  performBatchUpdates([&] { batch_->changes.inserted.insert(paths.begin(), paths.end()); });
}

void UICollectionView::deleteItemsAtIndexPaths(const std::vector<NSIndexPath>& paths) {
  performBatchUpdates([&] { batch_->changes.deleted.insert(paths.begin(), paths.end()); });
}

void UICollectionView::reloadItemsAtIndexPaths(const std::vector<NSIndexPath>& paths) {
  performBatchUpdates([&] { batch_->changes.reloaded.insert(paths.begin(), paths.end()); });
}

// --- Queries ---

std::shared_ptr<UICollectionViewCell> UICollectionView::cellForItemAtIndexPath(
    const NSIndexPath& path) {
  // Only items on screen have cells: an index path past the data has none.
  auto it = visible_.find({UICollectionElementCategory::Cell, "", path});
  return it == visible_.end() ? nullptr
                              : std::static_pointer_cast<UICollectionViewCell>(it->second);
}

std::optional<NSIndexPath> UICollectionView::indexPathForCell(
    const UICollectionViewCell* cell) const {
  for (auto& [key, view] : visible_) {
    if (view.get() == cell && key.category == UICollectionElementCategory::Cell) return key.path;
  }
  return std::nullopt;
}

std::optional<NSIndexPath> UICollectionView::indexPathForItemAtPoint(const CGPoint& point) {
  prepareLayoutIfNeeded();
  for (const auto& a :
       layout_->layoutAttributesForElementsInRect(CGRectMake(point.x, point.y, 1, 1))) {
    if (a.representedElementCategory == UICollectionElementCategory::Cell && !a.hidden &&
        CGRectContainsPoint(a.frame, point)) {
      return a.indexPath;
    }
  }
  return std::nullopt;
}

std::vector<std::shared_ptr<UICollectionViewCell>> UICollectionView::visibleCells() const {
  std::vector<std::shared_ptr<UICollectionViewCell>> out;
  for (auto& [key, view] : visible_) {
    if (key.category == UICollectionElementCategory::Cell) {
      out.push_back(std::static_pointer_cast<UICollectionViewCell>(view));
    }
  }
  return out;
}

std::vector<NSIndexPath> UICollectionView::indexPathsForVisibleItems() const {
  std::vector<NSIndexPath> out;
  for (auto& [key, view] : visible_) {
    if (key.category == UICollectionElementCategory::Cell) out.push_back(key.path);
  }
  return out;
}

std::shared_ptr<UICollectionReusableView> UICollectionView::supplementaryViewForElementKind(
    const std::string& kind, const NSIndexPath& path) const {
  auto it = visible_.find({UICollectionElementCategory::SupplementaryView, kind, path});
  return it == visible_.end() ? nullptr : it->second;
}

std::optional<UICollectionViewLayoutAttributes>
UICollectionView::layoutAttributesForItemAtIndexPath(const NSIndexPath& path) {
  prepareLayoutIfNeeded();
  if (!counts_.contains(path)) return std::nullopt;
  return layout_->layoutAttributesForItemAtIndexPath(path);
}

void UICollectionView::scrollToItemAtIndexPath(const NSIndexPath& path, uint64_t position,
                                               bool animated) {
  QX_DCHECK_MAIN_THREAD();
  reloadCountsIfNeeded();
  counts_.check(path, "-[UICollectionView scrollToItemAtIndexPath:atScrollPosition:animated:]");
  auto attributes = layoutAttributesForItemAtIndexPath(path);
  if (!attributes) return;
  CGRect f = attributes->frame;
  CGRect b = bounds();
  UIEdgeInsets in = adjustedContentInset();
  CGPoint target = b.origin;
  if (position & UICollectionViewScrollPositionTop) target.y = f.origin.y - in.top;
  if (position & UICollectionViewScrollPositionCenteredVertically) {
    target.y = CGRectGetMidY(f) - b.size.height / 2;
  }
  if (position & UICollectionViewScrollPositionBottom) {
    target.y = CGRectGetMaxY(f) - b.size.height + in.bottom;
  }
  if (position & UICollectionViewScrollPositionLeft) target.x = f.origin.x - in.left;
  if (position & UICollectionViewScrollPositionCenteredHorizontally) {
    target.x = CGRectGetMidX(f) - b.size.width / 2;
  }
  if (position & UICollectionViewScrollPositionRight) {
    target.x = CGRectGetMaxX(f) - b.size.width + in.right;
  }
  if (position == UICollectionViewScrollPositionNone) {
    scrollRectToVisible(f, animated);
    return;
  }
  CGPoint lo = minimumContentOffset();
  CGPoint hi = maximumContentOffset();
  target = CGPointMake(std::clamp(target.x, lo.x, hi.x), std::clamp(target.y, lo.y, hi.y));
  setContentOffset(target, animated);
  if (!animated) layoutIfNeeded();
}

// --- Selection ---

std::vector<NSIndexPath> UICollectionView::indexPathsForSelectedItems() const {
  return {selection_.paths().begin(), selection_.paths().end()};
}

void UICollectionView::showSelected(const NSIndexPath& path, bool selected) {
  auto it = visible_.find({UICollectionElementCategory::Cell, "", path});
  if (it != visible_.end()) {
    static_cast<UICollectionViewCell&>(*it->second).setSelected(selected);
  }
}

void UICollectionView::selectItemAtIndexPath(const std::optional<NSIndexPath>& path,
                                             bool animated, uint64_t scrollPosition) {
  QX_DCHECK_MAIN_THREAD();
  reloadCountsIfNeeded();
  // An item past the data cannot be selected: the selection stays as it is.
  if (path && (!counts_.contains(*path) || !allowsSelection_)) return;
  selection_.select(path, allowsMultipleSelection_);
  if (path && scrollPosition != UICollectionViewScrollPositionNone) {
    scrollToItemAtIndexPath(*path, scrollPosition, animated);
  }
}

void UICollectionView::deselectItemAtIndexPath(const NSIndexPath& path, bool) {
  QX_DCHECK_MAIN_THREAD();
  reloadCountsIfNeeded();
  if (!counts_.contains(path)) return;
  selection_.set(path, false);
}

void UICollectionView::userTapped(const NSIndexPath& path) {
  auto d = delegate();
  selection_.tap(
      path, allowsMultipleSelection_,
      [&](const NSIndexPath& p) { return !d || d->collectionViewShouldSelectItemAtIndexPath(*this, p); },
      [&](const NSIndexPath& p) {
        return !d || d->collectionViewShouldDeselectItemAtIndexPath(*this, p);
      },
      [&](const NSIndexPath& p) { if (d) d->collectionViewDidSelectItemAtIndexPath(*this, p); },
      [&](const NSIndexPath& p) { if (d) d->collectionViewDidDeselectItemAtIndexPath(*this, p); });
}

std::optional<NSIndexPath> UICollectionView::itemAtTouch(const UITouchSet& touches) {
  if (touches.size() != 1) return std::nullopt;
  return indexPathForItemAtPoint((*touches.begin())->locationInView(this));
}

void UICollectionView::touchesBegan(const UITouchSet& touches, UIEvent*) {
  auto path = itemAtTouch(touches);
  if (!path || !allowsSelection_) return;
  auto d = delegate();
  if (d && !d->collectionViewShouldHighlightItemAtIndexPath(*this, *path)) return;
  highlighted_ = path;
  if (auto cell = cellForItemAtIndexPath(*path)) cell->setHighlighted(true);
  if (d) d->collectionViewDidHighlightItemAtIndexPath(*this, *path);
}

void UICollectionView::touchesEnded(const UITouchSet& touches, UIEvent* event) {
  auto path = highlighted_;
  touchesCancelled(touches, event);
  if (path && path == itemAtTouch(touches)) userTapped(*path);
}

void UICollectionView::touchesCancelled(const UITouchSet&, UIEvent*) {
  if (!highlighted_) return;
  NSIndexPath path = *highlighted_;
  highlighted_.reset();
  if (auto cell = cellForItemAtIndexPath(path)) cell->setHighlighted(false);
  if (auto d = delegate()) d->collectionViewDidUnhighlightItemAtIndexPath(*this, path);
}

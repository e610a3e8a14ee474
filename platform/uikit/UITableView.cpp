#include "UITableView.h"

#include <algorithm>

#include "UITouch.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/ThreadChecks.h"

// --- Cell ---

std::shared_ptr<UIView> UITableViewCell::contentView() {
  if (!contentView_) {
    contentView_ = std::make_shared<UIView>(bounds());
    insertSubviewAtIndex(contentView_, 0);
  }
  return contentView_;
}

namespace {
UIColorPtr defaultSeparatorColor() { return UIColor::colorWithRed(0.78, 0.78, 0.8, 1); }
}  // namespace

std::shared_ptr<UIView> UITableViewCell::selectedBackgroundView() {
  if (!selectedBackground_) {
    selectedBackground_ = std::make_shared<UIView>();
    selectedBackground_->setBackgroundColor(UIColor::colorWithWhite(0.82, 1));
  }
  return selectedBackground_;
}

void UITableViewCell::setSelectedBackgroundView(std::shared_ptr<UIView> view) {
  QX_DCHECK_MAIN_THREAD();
  if (selectedBackground_) selectedBackground_->removeFromSuperview();
  selectedBackground_ = std::move(view);
  showSelectionLook();
}

void UITableViewCell::setSelectionStyle(UITableViewCellSelectionStyle style) {
  QX_DCHECK_MAIN_THREAD();
  selectionStyle_ = style;
  showSelectionLook();
}

void UITableViewCell::showSelectionLook() {
  bool shown = (selected_ || highlighted_) && selectionStyle_ != UITableViewCellSelectionStyle::None;
  if (!shown) {
    if (selectedBackground_) selectedBackground_->removeFromSuperview();
    return;
  }
  auto background = selectedBackgroundView();
  if (!background) return;
  background->setFrame(bounds());
  if (background->superview().get() != this) insertSubviewAtIndex(background, 0);
}

void UITableViewCell::setSeparatorInset(const UIEdgeInsets& inset) {
  QX_DCHECK_MAIN_THREAD();
  separatorInset_ = inset;
  setNeedsLayout();
}

void UITableViewCell::showSeparator(bool shown, const UIColorPtr& color) {
  if (!separator_) {
    separator_ = std::make_shared<UIView>();
    separator_->setUserInteractionEnabled(false);
  }
  separator_->setBackgroundColor(color);
  separator_->setHidden(!shown);
  if (separator_->superview().get() != this) addSubview(separator_);
  setNeedsLayout();
}

void UITableViewCell::prepareForReuse() {
  setSelected(false);
  setHighlighted(false);
}

void UITableViewCell::layoutSubviews() {
  UIView::layoutSubviews();
  CGRect b = bounds();
  if (contentView_) contentView_->setFrame(b);
  if (selectedBackground_ && selectedBackground_->superview().get() == this) {
    selectedBackground_->setFrame(b);
  }
  if (separator_) {
    double line = 1.0 / std::max(1.0, contentScaleFactor());
    double left = separatorInset_.left;
    separator_->setFrame(CGRectMake(left, b.size.height - line,
                                    std::max(0.0, b.size.width - left - separatorInset_.right),
                                    line));
    // Moving a subview asks for layout again: only when out of place.
    if (subviews().back() != separator_) bringSubviewToFront(separator_.get());
  }
}

// --- Table ---

UITableView::UITableView(const CGRect& frame, UITableViewStyle style)
    : UIScrollView(frame),
      style_(style),
      selection_([this](const NSIndexPath& path, bool on) { showSelected(path, on); }) {
  setBackgroundColor(UIColor::whiteColor());
  // A list bounces vertically however short it is, so its inset takes the
  // safe area and its first row starts below the notch or the bar.
  setAlwaysBounceVertical(true);
}

void UITableView::setDataSource(const std::shared_ptr<UITableViewDataSource>& ds) {
  QX_DCHECK_MAIN_THREAD();
  dataSource_ = ds;
  reloadData();
}

void UITableView::setSeparatorStyle(UITableViewCellSeparatorStyle style) {
  QX_DCHECK_MAIN_THREAD();
  separatorStyle_ = style;
  for (auto& [path, cell] : visible_) {
    cell->showSeparator(style != UITableViewCellSeparatorStyle::None,
                        separatorColor_ ? separatorColor_ : defaultSeparatorColor());
  }
}

void UITableView::setSeparatorColor(UIColorPtr color) {
  QX_DCHECK_MAIN_THREAD();
  separatorColor_ = std::move(color);
  setSeparatorStyle(separatorStyle_);
}

void UITableView::setDelegate(const std::shared_ptr<UITableViewDelegate>& d) {
  QX_DCHECK_MAIN_THREAD();
  delegate_ = d;
  UIScrollView::setDelegate(d);
  geometryStale_ = true;
  setNeedsLayout();
}

void UITableView::setRowHeight(double h) {
  QX_DCHECK_MAIN_THREAD();
  rowHeight_ = h;
  geometryStale_ = true;
  setNeedsLayout();
}

void UITableView::setSectionHeaderHeight(double h) {
  QX_DCHECK_MAIN_THREAD();
  sectionHeaderHeight_ = h;
  geometryStale_ = true;
  setNeedsLayout();
}

void UITableView::registerClassForCellReuseIdentifier(CellFactory factory,
                                                      const std::string& identifier) {
  QX_DCHECK_MAIN_THREAD();
  queues_.registerFactory(identifier, [factory = std::move(factory)] { return factory(); });
}

std::shared_ptr<UITableViewCell> UITableView::dequeueReusableCellWithIdentifier(
    const std::string& identifier) {
  QX_DCHECK_MAIN_THREAD();
  auto [view, reused] = queues_.dequeue(identifier);
  auto cell = std::static_pointer_cast<UITableViewCell>(view);
  if (!cell) return nullptr;
  cell->reuseIdentifier_ = identifier;
  if (reused) cell->prepareForReuse();
  return cell;
}

std::shared_ptr<UITableViewCell> UITableView::dequeueReusableCellWithIdentifier(
    const std::string& identifier, const NSIndexPath&) {
  if (!queues_.isRegistered(identifier)) {
    FatalStop("unable to dequeue a cell with identifier " + identifier +
              " - must register a nib or a class for the identifier or connect a prototype "
              "cell in a storyboard");
  }
  return dequeueReusableCellWithIdentifier(identifier);
}

void UITableView::reloadCountsIfNeeded() {
  if (!countsStale_) return;
  countsStale_ = false;
  geometryStale_ = true;
  auto ds = dataSource();
  counts_.reload(ds ? ds->numberOfSectionsInTableView(*this) : 0,
                 [&](int64_t s) { return ds->tableViewNumberOfRowsInSection(*this, s); });
}

int64_t UITableView::numberOfSections() {
  reloadCountsIfNeeded();
  return counts_.sections();
}

int64_t UITableView::numberOfRowsInSection(int64_t section) {
  reloadCountsIfNeeded();
  return counts_.itemsIn(section, "-[UITableView numberOfRowsInSection:]");
}

void UITableView::computeGeometryIfNeeded() {
  reloadCountsIfNeeded();
  if (!geometryStale_) return;
  geometryStale_ = false;
  auto d = delegate();
  sections_.clear();
  double y = 0;
  for (int64_t s = 0; s < counts_.sections(); ++s) {
    Section sec;
    sec.top = y;
    sec.header = sectionHeaderHeight_;
    if (d) sec.header = d->tableViewHeightForHeaderInSection(*this, s).value_or(sec.header);
    y += sec.header;
    for (int64_t r = 0; r < counts_.counts()[static_cast<size_t>(s)]; ++r) {
      double h = rowHeight_;
      if (d) h = d->tableViewHeightForRowAtIndexPath(*this, {s, r}).value_or(h);
      sec.rowTops.push_back(y);
      sec.rowHeights.push_back(h);
      y += h;
    }
    sections_.push_back(std::move(sec));
  }
  setContentSize(CGSizeMake(bounds().size.width, y));
}

CGRect UITableView::rectForRowAtIndexPath(const NSIndexPath& path) {
  computeGeometryIfNeeded();
  counts_.check(path, "-[UITableView rectForRowAtIndexPath:]");
  const Section& s = sections_[static_cast<size_t>(path.section)];
  auto r = static_cast<size_t>(path.row());
  return CGRectMake(0, s.rowTops[r], bounds().size.width, s.rowHeights[r]);
}

std::optional<NSIndexPath> UITableView::indexPathForRowAtPoint(const CGPoint& point) {
  computeGeometryIfNeeded();
  if (point.x < 0 || point.x >= bounds().size.width) return std::nullopt;
  for (size_t s = 0; s < sections_.size(); ++s) {
    const auto& tops = sections_[s].rowTops;
    auto it = std::upper_bound(tops.begin(), tops.end(), point.y);
    if (it == tops.begin()) continue;
    size_t r = static_cast<size_t>(it - tops.begin()) - 1;
    if (point.y < tops[r] + sections_[s].rowHeights[r]) {
      return NSIndexPath::indexPathForRow(static_cast<int64_t>(r), static_cast<int64_t>(s));
    }
  }
  return std::nullopt;
}

void UITableView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  computeGeometryIfNeeded();
  updateVisibleCells();
}

void UITableView::updateVisibleCells() {
  CGRect visible = bounds();
  double top = CGRectGetMinY(visible);
  double bottom = CGRectGetMaxY(visible);
  std::set<NSIndexPath> wanted;
  std::set<int64_t> wantedHeaders;
  for (size_t s = 0; s < sections_.size(); ++s) {
    const Section& sec = sections_[s];
    if (sec.header > 0 && sec.top < bottom && sec.top + sec.header > top) {
      wantedHeaders.insert(static_cast<int64_t>(s));
    }
    auto first = std::upper_bound(sec.rowTops.begin(), sec.rowTops.end(), top);
    size_t r = first == sec.rowTops.begin() ? 0 : static_cast<size_t>(first - sec.rowTops.begin()) - 1;
    for (; r < sec.rowTops.size() && sec.rowTops[r] < bottom; ++r) {
      if (sec.rowTops[r] + sec.rowHeights[r] > top) {
        wanted.insert(NSIndexPath::indexPathForRow(static_cast<int64_t>(r), static_cast<int64_t>(s)));
      }
    }
  }
  for (auto& [path, cell] : std::map<NSIndexPath, std::shared_ptr<UITableViewCell>>(visible_)) {
    if (!wanted.count(path)) hideCell(path);
  }
  for (auto& [section, view] : std::map<int64_t, std::shared_ptr<UIView>>(headers_)) {
    if (!wantedHeaders.count(section)) hideHeader(section);
  }
  auto ds = dataSource();
  auto d = delegate();
  if (!ds) return;
  double width = visible.size.width;
  for (const NSIndexPath& path : wanted) {
    CGRect frame = CGRectMake(0, sections_[static_cast<size_t>(path.section)].rowTops[static_cast<size_t>(path.row())],
                              width, sections_[static_cast<size_t>(path.section)].rowHeights[static_cast<size_t>(path.row())]);
    auto it = visible_.find(path);
    if (it != visible_.end()) {
      it->second->setFrame(frame);
      continue;
    }
    auto cell = ds->tableViewCellForRowAtIndexPath(*this, path);
    if (!cell) {
      FatalStop("UITableView dataSource returned a nil cell for row at index path: " +
                path.description());
    }
    cell->setFrame(frame);
    cell->setSelected(selection_.contains(path));
    cell->showSeparator(separatorStyle_ != UITableViewCellSeparatorStyle::None,
                        separatorColor_ ? separatorColor_ : defaultSeparatorColor());
    if (d) d->tableViewWillDisplayCell(*this, *cell, path);
    visible_[path] = cell;
    addSubview(cell);
  }
  for (int64_t section : wantedHeaders) {
    if (headers_.count(section) || !d) continue;
    auto header = d->tableViewViewForHeaderInSection(*this, section);
    if (!header) continue;
    const Section& sec = sections_[static_cast<size_t>(section)];
    header->setFrame(CGRectMake(0, sec.top, width, sec.header));
    headers_[section] = header;
    addSubview(header);
  }
}

void UITableView::hideCell(const NSIndexPath& path) {
  auto it = visible_.find(path);
  if (it == visible_.end()) return;
  auto cell = it->second;
  visible_.erase(it);
  cell->removeFromSuperview();
  if (auto d = delegate()) d->tableViewDidEndDisplayingCell(*this, *cell, path);
  if (!cell->reuseIdentifier().empty()) queues_.enqueue(cell->reuseIdentifier(), cell);
}

void UITableView::hideHeader(int64_t section) {
  auto it = headers_.find(section);
  if (it == headers_.end()) return;
  it->second->removeFromSuperview();
  headers_.erase(it);
}

void UITableView::reloadData() {
  QX_DCHECK_MAIN_THREAD();
  countsStale_ = true;
  geometryStale_ = true;
  selection_.clear();
  highlighted_.reset();
  for (auto& [path, cell] : std::map<NSIndexPath, std::shared_ptr<UITableViewCell>>(visible_)) {
    hideCell(path);
  }
  for (auto& [section, view] : std::map<int64_t, std::shared_ptr<UIView>>(headers_)) {
    hideHeader(section);
  }
  setNeedsLayout();
}

void UITableView::performBatchUpdates(const std::function<void()>& updates,
                                      OnceCallback<void(bool)> completion) {
  QX_DCHECK_MAIN_THREAD();
  reloadCountsIfNeeded();
  bool outermost = !batch_;
  if (outermost) batch_ = std::make_unique<UIBatchChanges>();
  if (updates) updates();
  if (outermost) {
    auto changes = std::move(batch_);
    commitBatch(*changes);
  }
  UIPostBatchCompletion(std::move(completion));
}

void UITableView::commitBatch(const UIBatchChanges& changes) {
  UISectionCounts before = counts_;
  countsStale_ = true;
  reloadCountsIfNeeded();
  std::string problem;
  auto applied = changes.apply(before, counts_, "row", &problem);
  // No list of ours updates rows in batches, so a batch that does not add up
  // is a mistake in the caller, as the platform says by raising.
  if (!applied) FatalStop(problem);
  const std::map<NSIndexPath, NSIndexPath>& moved = *applied;
  std::map<NSIndexPath, std::shared_ptr<UITableViewCell>> kept;
  for (auto& [path, cell] : std::map<NSIndexPath, std::shared_ptr<UITableViewCell>>(visible_)) {
    auto to = moved.find(path);
    if (to == moved.end() || changes.reloaded.count(path)) {
      hideCell(path);
    } else {
      kept[to->second] = cell;
    }
  }
  visible_ = std::move(kept);
  selection_.follow(moved, changes.reloaded);
  geometryStale_ = true;
  setNeedsLayout();
  layoutIfNeeded();
}

void UITableView::insertRowsAtIndexPaths(const std::vector<NSIndexPath>& paths,
                                         UITableViewRowAnimation) {
  performBatchUpdates([&] { batch_->inserted.insert(paths.begin(), paths.end()); });
}

void UITableView::deleteRowsAtIndexPaths(const std::vector<NSIndexPath>& paths,
                                         UITableViewRowAnimation) {
  performBatchUpdates([&] { batch_->deleted.insert(paths.begin(), paths.end()); });
}

void UITableView::reloadRowsAtIndexPaths(const std::vector<NSIndexPath>& paths,
                                         UITableViewRowAnimation) {
  performBatchUpdates([&] { batch_->reloaded.insert(paths.begin(), paths.end()); });
}

std::shared_ptr<UITableViewCell> UITableView::cellForRowAtIndexPath(const NSIndexPath& path) {
  // Only rows on screen have cells: an index path past the data has none.
  auto it = visible_.find(path);
  return it == visible_.end() ? nullptr : it->second;
}

std::optional<NSIndexPath> UITableView::indexPathForCell(const UITableViewCell* cell) const {
  for (auto& [path, c] : visible_) {
    if (c.get() == cell) return path;
  }
  return std::nullopt;
}

std::vector<std::shared_ptr<UITableViewCell>> UITableView::visibleCells() const {
  std::vector<std::shared_ptr<UITableViewCell>> out;
  for (auto& [path, cell] : visible_) out.push_back(cell);
  return out;
}

std::vector<NSIndexPath> UITableView::indexPathsForVisibleRows() const {
  std::vector<NSIndexPath> out;
  for (auto& [path, cell] : visible_) out.push_back(path);
  return out;
}

std::shared_ptr<UIView> UITableView::headerViewForSection(int64_t section) const {
  auto it = headers_.find(section);
  return it == headers_.end() ? nullptr : it->second;
}

void UITableView::scrollToRowAtIndexPath(const NSIndexPath& path,
                                         UITableViewScrollPosition position, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  CGRect row = rectForRowAtIndexPath(path);
  double height = bounds().size.height;
  UIEdgeInsets in = adjustedContentInset();
  double y = contentOffset().y;
  switch (position) {
    case UITableViewScrollPosition::Top:
      y = row.origin.y - in.top;
      break;
    case UITableViewScrollPosition::Middle:
      y = CGRectGetMidY(row) - height / 2;
      break;
    case UITableViewScrollPosition::Bottom:
      y = CGRectGetMaxY(row) - height + in.bottom;
      break;
    case UITableViewScrollPosition::None:
      scrollRectToVisible(row, animated);
      return;
  }
  y = std::clamp(y, minimumContentOffset().y, maximumContentOffset().y);
  setContentOffset(CGPointMake(contentOffset().x, y), animated);
  if (!animated) layoutIfNeeded();
}

// --- Selection ---

std::optional<NSIndexPath> UITableView::indexPathForSelectedRow() const {
  if (selection_.paths().empty()) return std::nullopt;
  return *selection_.paths().begin();
}

std::vector<NSIndexPath> UITableView::indexPathsForSelectedRows() const {
  return {selection_.paths().begin(), selection_.paths().end()};
}

void UITableView::showSelected(const NSIndexPath& path, bool selected) {
  auto it = visible_.find(path);
  if (it != visible_.end()) it->second->setSelected(selected);
}

void UITableView::selectRowAtIndexPath(const std::optional<NSIndexPath>& path, bool animated,
                                       UITableViewScrollPosition position) {
  QX_DCHECK_MAIN_THREAD();
  reloadCountsIfNeeded();
  // A row past the data cannot be selected: the selection stays as it is.
  if (path && (!counts_.contains(*path) || !allowsSelection_)) return;
  selection_.select(path, allowsMultipleSelection_);
  if (path && position != UITableViewScrollPosition::None) {
    scrollToRowAtIndexPath(*path, position, animated);
  }
}

void UITableView::deselectRowAtIndexPath(const NSIndexPath& path, bool) {
  QX_DCHECK_MAIN_THREAD();
  reloadCountsIfNeeded();
  if (!counts_.contains(path)) return;
  selection_.set(path, false);
}

void UITableView::touchesBegan(const UITouchSet& touches, UIEvent*) {
  if (touches.size() != 1 || !allowsSelection_) return;
  auto path = indexPathForRowAtPoint((*touches.begin())->locationInView(this));
  if (!path) return;
  if (auto d = delegate(); d && !d->tableViewShouldHighlightRowAtIndexPath(*this, *path)) return;
  highlighted_ = path;
  if (auto cell = cellForRowAtIndexPath(*path)) cell->setHighlighted(true);
}

void UITableView::touchesEnded(const UITouchSet& touches, UIEvent* event) {
  auto path = highlighted_;
  touchesCancelled(touches, event);
  if (!path || path != indexPathForRowAtPoint((*touches.begin())->locationInView(this))) return;
  auto d = delegate();
  auto yes = [](const NSIndexPath&) { return true; };
  selection_.tap(
      *path, allowsMultipleSelection_, yes, yes,
      [&](const NSIndexPath& p) { if (d) d->tableViewDidSelectRowAtIndexPath(*this, p); },
      [&](const NSIndexPath& p) { if (d) d->tableViewDidDeselectRowAtIndexPath(*this, p); });
}

void UITableView::touchesCancelled(const UITouchSet&, UIEvent*) {
  if (!highlighted_) return;
  NSIndexPath path = *highlighted_;
  highlighted_.reset();
  if (auto cell = cellForRowAtIndexPath(path)) cell->setHighlighted(false);
}

#pragma once

// A scroll view of rows in sections, stacked top to bottom. As in the
// collection view, only rows meeting the bounds have cells: the layout pass
// asks the data source for rows coming into view, tells the delegate which
// appear and disappear, and queues the cells that left for reuse. Row counts
// come from the data source on reloadData and batch updates. As on the
// platform, looking up a cell outside them answers nothing and selection
// changes there do nothing; asking for the rect of such a row, scrolling to
// it, or a batch whose counts do not add up is a fatal stop.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/uikit/UIReusableViews.h"
#include "UIScrollView.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"

class UITableView;

enum class UITableViewCellStyle { Default = 0, Value1 = 1, Value2 = 2, Subtitle = 3 };
enum class UITableViewCellAccessoryType { None = 0, DisclosureIndicator = 1,
                                          DetailDisclosureButton = 2, Checkmark = 3 };

enum class UITableViewCellSelectionStyle { None = 0, Blue = 1, Gray = 2, Default = 3 };
enum class UITableViewCellSeparatorStyle { None = 0, SingleLine = 1 };

class UITableViewCell : public UIView {
 public:
  UITableViewCell() = default;
  explicit UITableViewCell(UITableViewCellStyle style) : style_(style) {}

  // Shown behind the content while the cell is selected or highlighted,
  // unless the selection style is None; light grey unless replaced.
  std::shared_ptr<UIView> selectedBackgroundView();
  void setSelectedBackgroundView(std::shared_ptr<UIView> view);
  UITableViewCellSelectionStyle selectionStyle() const { return selectionStyle_; }
  void setSelectionStyle(UITableViewCellSelectionStyle style);
  // The hairline under the cell; its left inset is the separator inset.
  UIEdgeInsets separatorInset() const { return separatorInset_; }
  void setSeparatorInset(const UIEdgeInsets& inset);
  const std::shared_ptr<UIView>& separatorView() const { return separator_; }

  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  UITableViewCellStyle style() const { return style_; }
  std::shared_ptr<UIView> contentView();
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool selected) {
    QX_DCHECK_MAIN_THREAD();
    selected_ = selected;
    showSelectionLook();
  }
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool highlighted) {
    QX_DCHECK_MAIN_THREAD();
    highlighted_ = highlighted;
    showSelectionLook();
  }
  UITableViewCellAccessoryType accessoryType() const { return accessory_; }
  void setAccessoryType(UITableViewCellAccessoryType a) {
    QX_DCHECK_MAIN_THREAD();
    accessory_ = a;
  }
  virtual void prepareForReuse();
  void layoutSubviews() override;

 private:
  friend class UITableView;
  void showSelectionLook();
  // The table's separator look, applied as the cell is shown.
  void showSeparator(bool shown, const UIColorPtr& color);
  std::string reuseIdentifier_;
  std::shared_ptr<UIView> selectedBackground_;
  std::shared_ptr<UIView> separator_;
  UITableViewCellSelectionStyle selectionStyle_ = UITableViewCellSelectionStyle::Default;
  UIEdgeInsets separatorInset_{0, 16, 0, 0};
  UITableViewCellStyle style_ = UITableViewCellStyle::Default;
  std::shared_ptr<UIView> contentView_;
  bool selected_ = false;
  bool highlighted_ = false;
  UITableViewCellAccessoryType accessory_ = UITableViewCellAccessoryType::None;
};

class UITableViewDataSource {
 public:
  virtual ~UITableViewDataSource() = default;
  virtual int64_t numberOfSectionsInTableView(UITableView&) { return 1; }
  virtual int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t section) = 0;
  virtual std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(
      UITableView&, const NSIndexPath& path) = 0;
};

class UITableViewDelegate : public UIScrollViewDelegate {
 public:
  // "Not implemented" uses the table's own heights.
  virtual std::optional<double> tableViewHeightForRowAtIndexPath(UITableView&,
                                                                 const NSIndexPath&) {
    return std::nullopt;
  }
  virtual std::optional<double> tableViewHeightForHeaderInSection(UITableView&, int64_t) {
    return std::nullopt;
  }
  virtual std::shared_ptr<UIView> tableViewViewForHeaderInSection(UITableView&, int64_t) {
    return nullptr;
  }
  virtual void tableViewWillDisplayCell(UITableView&, UITableViewCell&, const NSIndexPath&) {}
  virtual void tableViewDidEndDisplayingCell(UITableView&, UITableViewCell&, const NSIndexPath&) {}
  virtual bool tableViewShouldHighlightRowAtIndexPath(UITableView&, const NSIndexPath&) {
    return true;
  }
  virtual void tableViewDidSelectRowAtIndexPath(UITableView&, const NSIndexPath&) {}
  virtual void tableViewDidDeselectRowAtIndexPath(UITableView&, const NSIndexPath&) {}
};

enum class UITableViewStyle { Plain = 0, Grouped = 1, InsetGrouped = 2 };
enum class UITableViewScrollPosition { None = 0, Top = 1, Middle = 2, Bottom = 3 };
enum class UITableViewRowAnimation { Fade = 0, Right, Left, Top, Bottom, None, Middle,
                                     Automatic = 100 };

class UITableView : public UIScrollView {
 public:
  static constexpr double UITableViewAutomaticDimension = -1;

  explicit UITableView(const CGRect& frame, UITableViewStyle style = UITableViewStyle::Plain);

  UITableViewStyle style() const { return style_; }
  std::shared_ptr<UITableViewDataSource> dataSource() const { return dataSource_.lock(); }
  void setDataSource(const std::shared_ptr<UITableViewDataSource>& ds);
  std::shared_ptr<UITableViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UITableViewDelegate>& d);
  double rowHeight() const { return rowHeight_; }
  void setRowHeight(double h);
  UITableViewCellSeparatorStyle separatorStyle() const { return separatorStyle_; }
  void setSeparatorStyle(UITableViewCellSeparatorStyle style);
  UIColorPtr separatorColor() const { return separatorColor_; }
  void setSeparatorColor(UIColorPtr color);
  double sectionHeaderHeight() const { return sectionHeaderHeight_; }
  void setSectionHeaderHeight(double h);

  using CellFactory = std::function<std::shared_ptr<UITableViewCell>()>;
  void registerClassForCellReuseIdentifier(CellFactory factory, const std::string& identifier);
  template <typename Cell>
  void registerClassForCellReuseIdentifier(const std::string& identifier) {
    registerClassForCellReuseIdentifier([] { return std::make_shared<Cell>(); }, identifier);
  }
  // A queued or new registered cell; an unregistered identifier is a fatal
  // stop.
  std::shared_ptr<UITableViewCell> dequeueReusableCellWithIdentifier(
      const std::string& identifier, const NSIndexPath& path);
  // The older form: nullptr when nothing is queued or registered.
  std::shared_ptr<UITableViewCell> dequeueReusableCellWithIdentifier(const std::string& identifier);

  int64_t numberOfSections();
  int64_t numberOfRowsInSection(int64_t section);
  void reloadData();
  void performBatchUpdates(const std::function<void()>& updates,
                           OnceCallback<void(bool)> completion = nullptr);
  void insertRowsAtIndexPaths(const std::vector<NSIndexPath>& paths,
                              UITableViewRowAnimation animation);
  void deleteRowsAtIndexPaths(const std::vector<NSIndexPath>& paths,
                              UITableViewRowAnimation animation);
  void reloadRowsAtIndexPaths(const std::vector<NSIndexPath>& paths,
                              UITableViewRowAnimation animation);

  std::shared_ptr<UITableViewCell> cellForRowAtIndexPath(const NSIndexPath& path);
  std::optional<NSIndexPath> indexPathForCell(const UITableViewCell* cell) const;
  std::optional<NSIndexPath> indexPathForRowAtPoint(const CGPoint& point);
  CGRect rectForRowAtIndexPath(const NSIndexPath& path);
  std::vector<std::shared_ptr<UITableViewCell>> visibleCells() const;
  std::vector<NSIndexPath> indexPathsForVisibleRows() const;
  std::shared_ptr<UIView> headerViewForSection(int64_t section) const;
  void scrollToRowAtIndexPath(const NSIndexPath& path, UITableViewScrollPosition position,
                              bool animated);

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
  std::optional<NSIndexPath> indexPathForSelectedRow() const;
  std::vector<NSIndexPath> indexPathsForSelectedRows() const;
  void selectRowAtIndexPath(const std::optional<NSIndexPath>& path, bool animated,
                            UITableViewScrollPosition position);
  void deselectRowAtIndexPath(const NSIndexPath& path, bool animated);

  void layoutSubviews() override;
  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;
  void touchesCancelled(const UITouchSet& touches, UIEvent* event) override;

 private:
  struct Section {
    double top = 0;
    double header = 0;
    std::vector<double> rowTops;  // content y of each row
    std::vector<double> rowHeights;
  };
  void reloadCountsIfNeeded();
  void computeGeometryIfNeeded();
  void updateVisibleCells();
  void hideCell(const NSIndexPath& path);
  void hideHeader(int64_t section);
  void showSelected(const NSIndexPath& path, bool selected);
  void commitBatch(const UIBatchChanges& changes);

  UITableViewStyle style_;
  std::weak_ptr<UITableViewDataSource> dataSource_;
  std::weak_ptr<UITableViewDelegate> delegate_;
  double rowHeight_ = 44;
  double sectionHeaderHeight_ = 0;
  UIReuseQueues queues_;
  UISectionCounts counts_;
  bool countsStale_ = true;
  bool geometryStale_ = true;
  std::vector<Section> sections_;
  std::map<NSIndexPath, std::shared_ptr<UITableViewCell>> visible_;
  std::map<int64_t, std::shared_ptr<UIView>> headers_;
  UIItemSelection selection_;
  std::optional<NSIndexPath> highlighted_;
  bool allowsSelection_ = true;
  bool allowsMultipleSelection_ = false;
  std::unique_ptr<UIBatchChanges> batch_;
  UITableViewCellSeparatorStyle separatorStyle_ = UITableViewCellSeparatorStyle::SingleLine;
  UIColorPtr separatorColor_;
};

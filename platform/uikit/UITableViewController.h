#pragma once

// A controller whose view is a table it is the data source and delegate of.
// Each time it is about to appear it clears the table's selection, unless
// clearsSelectionOnViewWillAppear is off.

#include <memory>

#include "UITableView.h"
#include "UIViewController.h"
#include "platform/foundation/ThreadChecks.h"

class UITableViewController : public UIViewController,
                              public UITableViewDataSource,
                              public UITableViewDelegate {
 public:
  explicit UITableViewController(UITableViewStyle style = UITableViewStyle::Plain)
      : style_(style) {}

  std::shared_ptr<UITableView> tableView();
  void setTableView(std::shared_ptr<UITableView> table);
  bool clearsSelectionOnViewWillAppear() const { return clearsSelection_; }
  void setClearsSelectionOnViewWillAppear(bool on) {
    QX_DCHECK_MAIN_THREAD();
    clearsSelection_ = on;
  }

  void loadView() override;
  // Subclasses that override this call it.
  void viewWillAppear(bool animated) override;

  // No rows unless a subclass says otherwise.
  int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t) override { return 0; }
  std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView&,
                                                                  const NSIndexPath&) override {
    return nullptr;
  }
  std::string className() const override { return "UITableViewController"; }

 private:
  UITableViewStyle style_;
  bool clearsSelection_ = true;
};

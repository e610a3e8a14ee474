#include "UITableViewController.h"

#include "platform/foundation/ThreadChecks.h"

std::shared_ptr<UITableView> UITableViewController::tableView() {
  return std::dynamic_pointer_cast<UITableView>(view());
}

void UITableViewController::setTableView(std::shared_ptr<UITableView> table) {
  QX_DCHECK_MAIN_THREAD();
  setView(table);
}

void UITableViewController::loadView() {
  auto table = std::make_shared<UITableView>(CGRectZero, style_);
  auto me = std::static_pointer_cast<UITableViewController>(self());
  table->setDataSource(std::static_pointer_cast<UITableViewDataSource>(me));
  table->setDelegate(std::static_pointer_cast<UITableViewDelegate>(me));
  setView(table);
}

void UITableViewController::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  if (!clearsSelection_) return;
  auto table = tableView();
  if (!table) return;
  for (const NSIndexPath& path : table->indexPathsForSelectedRows()) {
    table->deselectRowAtIndexPath(path, animated);
  }
}

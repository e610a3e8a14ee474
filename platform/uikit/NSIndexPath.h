#pragma once

// The position of an item (or a table row) in a sectioned list: UIKit's
// additions to Foundation's index paths, as a value ordered section first.

#include <compare>
#include <cstdint>
#include <string>

struct NSIndexPath {
  int64_t section = 0;
  int64_t item = 0;

  int64_t row() const { return item; }
  static NSIndexPath indexPathForItem(int64_t item, int64_t section) { return {section, item}; }
  static NSIndexPath indexPathForRow(int64_t row, int64_t section) { return {section, row}; }
  auto operator<=>(const NSIndexPath&) const = default;
  std::string description() const {
    return "<NSIndexPath> {length = 2, path = " + std::to_string(section) + " - " +
           std::to_string(item) + "}";
  }
};

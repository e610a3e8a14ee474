#include "UIViewAccessibility.h"

#include "UIView.h"
#include "platform/foundation/Value.h"

namespace {

const char kIdentifierKey = 0;
const char kLabelKey = 0;

std::optional<std::string> read(const UIView& view, const void* key) {
  Value v = view.associatedObject(key);
  if (!v.isString()) return std::nullopt;
  return v.asString();
}

void write(UIView& view, const void* key, const std::optional<std::string>& text) {
  view.setAssociatedObject(key, text ? Value(*text) : Value());
}

}  // namespace

std::optional<std::string> UIViewAccessibilityIdentifier(const UIView& view) {
  return read(view, &kIdentifierKey);
}
void UIViewSetAccessibilityIdentifier(UIView& view, const std::optional<std::string>& identifier) {
  write(view, &kIdentifierKey, identifier);
}
std::optional<std::string> UIViewAccessibilityLabel(const UIView& view) {
  return read(view, &kLabelKey);
}
void UIViewSetAccessibilityLabel(UIView& view, const std::optional<std::string>& label) {
  write(view, &kLabelKey, label);
}

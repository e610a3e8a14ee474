#include "UIViewAccessibility.h"

#include "UIView.h"

std::optional<std::string> UIViewAccessibilityIdentifier(const UIView& view) {
  const std::string& identifier = view.accessibilityIdentifier();
  if (identifier.empty()) return std::nullopt;
  return identifier;
}
void UIViewSetAccessibilityIdentifier(UIView& view, const std::optional<std::string>& identifier) {
  view.setAccessibilityIdentifier(identifier.value_or(""));
}
std::optional<std::string> UIViewAccessibilityLabel(const UIView& view) {
  return view.accessibilityLabelSetting();
}
void UIViewSetAccessibilityLabel(UIView& view, const std::optional<std::string>& label) {
  view.setAccessibilityLabel(label);
}

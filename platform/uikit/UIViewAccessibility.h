#pragma once

// The accessibility identifier and label of a view, as the driver's view tree
// reports them: the view's own properties, none when they were never set.

#include <optional>
#include <string>

class UIView;

std::optional<std::string> UIViewAccessibilityIdentifier(const UIView& view);
void UIViewSetAccessibilityIdentifier(UIView& view, const std::optional<std::string>& identifier);
std::optional<std::string> UIViewAccessibilityLabel(const UIView& view);
void UIViewSetAccessibilityLabel(UIView& view, const std::optional<std::string>& label);

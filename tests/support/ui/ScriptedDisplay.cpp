#include "support/ui/ScriptedDisplay.h"

#include <memory>

void UseScreenProfile(const UIScreenProfile& profile) {
  UIScreen::mainScreen()->setDisplayProvider(std::make_shared<UIHeadlessDisplay>(profile));
}

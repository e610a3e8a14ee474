#include "platform/uikit/internal/UITraitCollection.h"

namespace {

thread_local UITraitCollection current;

}  // namespace

UITraitCollection UITraitCollection::currentTraitCollection() { return current; }

void UITraitCollection::setCurrentTraitCollection(const UITraitCollection& traits) {
  current = traits;
}

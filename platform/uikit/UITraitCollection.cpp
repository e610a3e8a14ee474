#include "platform/uikit/UITraitCollection.h"

namespace {

thread_local UITraitCollection current;

}  // namespace

UITraitCollection UITraitCollection::currentTraitCollection() { return current; }

void UITraitCollection::setCurrentTraitCollection(const UITraitCollection& traits) {
  current = traits;
}

#include "support/ui/ScriptedPickerProvider.h"

#include "platform/foundation/NSRunLoop.h"

std::shared_ptr<ScriptedPickerProvider> ScriptedPickerProvider::install() {
  auto provider = std::make_shared<ScriptedPickerProvider>();
  UISystemPickerProvider::setCurrent(provider);
  return provider;
}

UISystemPickerCancel ScriptedPickerProvider::pick(const UISystemPickerRequest& request,
                                                  Completion completion) {
  requests_.push_back(request);
  auto live = std::make_shared<bool>(true);
  state_->waiting.push_back({std::move(completion), live});
  return [weak = std::weak_ptr<State>(state_), live] {
    auto state = weak.lock();
    if (!state || !*live) return;
    *live = false;
    ++state->cancelled;
    for (auto it = state->waiting.begin(); it != state->waiting.end(); ++it) {
      if (it->live == live) {
        state->waiting.erase(it);
        break;
      }
    }
  };
}

bool ScriptedPickerProvider::answer(UISystemPickerAnswer answer) {
  if (state_->waiting.empty()) return false;
  Waiting next = std::move(state_->waiting.front());
  state_->waiting.pop_front();
  *next.live = false;
  NSRunLoop::mainRunLoop().perform(
      [completion = std::move(next.completion), answer = std::move(answer)]() mutable {
        completion(std::move(answer));
      });
  return true;
}

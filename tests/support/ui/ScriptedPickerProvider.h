#pragma once

// A system picker provider that plays the user: it keeps every request the
// pickers send, and the test answers the oldest one still waiting (picked
// paths, cancel, or a failure), delivered on the main run loop as a real
// provider answers. Installed as the current provider for the test.

#include <deque>
#include <memory>
#include <vector>

#include "platform/uikit/UISystemPicker.h"

class ScriptedPickerProvider : public UISystemPickerProvider {
 public:
  static std::shared_ptr<ScriptedPickerProvider> install();

  // False makes every picker fail to show, as with no provider at all.
  void setAvailable(bool available) { available_ = available; }
  bool canPresent() override { return available_; }
  UISystemPickerCancel pick(const UISystemPickerRequest& request, Completion completion) override;

  // Every request received, oldest first.
  const std::vector<UISystemPickerRequest>& requests() const { return requests_; }
  // Picks still waiting for an answer.
  size_t waiting() const { return state_->waiting.size(); }
  // Picks the pickers cancelled (dismissed before the answer).
  int cancelled() const { return state_->cancelled; }
  // Answers the oldest waiting pick; false when none waits.
  bool answer(UISystemPickerAnswer answer);

 private:
  struct Waiting {
    Completion completion;
    std::shared_ptr<bool> live;
  };
  // Shared with the cancels handed out, which may outlive the provider.
  struct State {
    std::deque<Waiting> waiting;
    int cancelled = 0;
  };
  bool available_ = true;
  std::vector<UISystemPickerRequest> requests_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

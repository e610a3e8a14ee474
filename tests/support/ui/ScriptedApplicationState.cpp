#include "support/ui/ScriptedApplicationState.h"

std::shared_ptr<ScriptedApplicationState> ScriptedApplicationState::install() {
  auto app = UIApplication::sharedApplication();
  auto system = std::make_shared<ScriptedApplicationState>();
  system->state_ = app->applicationState();
  app->setStateProvider(system);
  return system;
}

void ScriptedApplicationState::set(UIApplicationState state) {
  state_ = state;
  UIApplication::sharedApplication()->refreshApplicationState();
}

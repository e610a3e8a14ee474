#include "platform/webkit/WKWebViewConfiguration.h"

void WKUserContentController::addUserScript(WKUserScriptPtr script) {
  if (script) scripts_.push_back(std::move(script));
}

void WKUserContentController::removeAllUserScripts() { scripts_.clear(); }

void WKWebViewConfiguration::setUserContentController(WKUserContentControllerPtr controller) {
  userContentController_ =
      controller ? std::move(controller) : std::make_shared<WKUserContentController>();
}

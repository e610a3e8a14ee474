#pragma once

// What a web view is made with: user scripts in a user content controller,
// held in the order they were added. There is no script engine here: the
// scripts are kept for whoever reads them, never run.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/NSObject.h"

enum WKUserScriptInjectionTime : int64_t {
  WKUserScriptInjectionTimeAtDocumentStart = 0,
  WKUserScriptInjectionTimeAtDocumentEnd = 1,
};

class WKUserScript : public NSObject {
 public:
  WKUserScript(std::string source, WKUserScriptInjectionTime injectionTime, bool forMainFrameOnly)
      : source_(std::move(source)), injectionTime_(injectionTime), mainFrameOnly_(forMainFrameOnly) {}

  const std::string& source() const { return source_; }
  WKUserScriptInjectionTime injectionTime() const { return injectionTime_; }
  bool isForMainFrameOnly() const { return mainFrameOnly_; }
  std::string className() const override { return "WKUserScript"; }

 private:
  std::string source_;
  WKUserScriptInjectionTime injectionTime_;
  bool mainFrameOnly_;
};

using WKUserScriptPtr = std::shared_ptr<WKUserScript>;

class WKUserContentController : public NSObject {
 public:
  void addUserScript(WKUserScriptPtr script);
  void removeAllUserScripts();
  const std::vector<WKUserScriptPtr>& userScripts() const { return scripts_; }
  std::string className() const override { return "WKUserContentController"; }

 private:
  std::vector<WKUserScriptPtr> scripts_;
};

using WKUserContentControllerPtr = std::shared_ptr<WKUserContentController>;

// Copied into a web view when it is made; the controller it names is shared.
class WKWebViewConfiguration : public NSObject {
 public:
  const WKUserContentControllerPtr& userContentController() const {
    return userContentController_;
  }
  // Null puts an empty controller in its place.
  void setUserContentController(WKUserContentControllerPtr controller);
  std::string className() const override { return "WKWebViewConfiguration"; }

 private:
  WKUserContentControllerPtr userContentController_ = std::make_shared<WKUserContentController>();
};

using WKWebViewConfigurationPtr = std::shared_ptr<WKWebViewConfiguration>;

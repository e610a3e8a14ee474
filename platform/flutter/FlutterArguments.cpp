#include "FlutterArguments.h"

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/Value.h"

FlutterArguments::FlutterArguments(const Value& arguments) : arguments_(arguments) {}

const Value* FlutterArguments::present(const char* key) const {
  if (!arguments_.isMap()) return nullptr;
  const Value* v = arguments_.find(key);
  return v && !v->isNull() ? v : nullptr;
}

void FlutterArguments::fail(const char* expected, const char* key) {
  if (error_.empty()) error_ = std::string("Expected ") + expected + " for \"" + key + "\"";
}

std::optional<std::string> FlutterArguments::string(const char* key) {
  const Value* v = present(key);
  if (!v) return std::nullopt;
  if (!v->isString()) {
    fail("a string", key);
    return std::nullopt;
  }
  return v->asString();
}

std::optional<std::vector<std::string>> FlutterArguments::stringList(const char* key) {
  const Value* v = present(key);
  if (!v) return std::nullopt;
  std::vector<std::string> list;
  bool ok = v->isList();
  for (size_t i = 0; ok && i < v->size(); ++i) {
    ok = v->at(i)->isString();
    if (ok) list.push_back(v->at(i)->asString());
  }
  if (!ok) {
    fail("a list of strings", key);
    return std::nullopt;
  }
  return list;
}

std::optional<double> FlutterArguments::number(const char* key) {
  const Value* v = present(key);
  if (!v) return std::nullopt;
  if (!v->isNumber()) {
    fail("a number", key);
    return std::nullopt;
  }
  return v->asDouble();
}

std::optional<CGRect> FlutterArguments::rect(const char* x, const char* y, const char* width,
                                             const char* height) {
  // Every key is read, so a wrong type in any of them is reported.
  auto ox = number(x);
  auto oy = number(y);
  auto w = number(width);
  auto h = number(height);
  if (!ox || !oy || !w || !h) return std::nullopt;
  return CGRectMake(*ox, *oy, *w, *h);
}

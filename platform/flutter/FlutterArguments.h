#pragma once

// Typed readers of a method call's map of arguments, for plugins whose calls
// carry named options. A key that is missing or null is absent: the read
// answers nullopt and is no error, as the Dart side sends null for the
// options it leaves out. A value of the wrong type is an error; the first one
// is kept (with a message that names the key) and later reads still work, so
// a handler reads every option and then checks ok() once.
//
//   FlutterArguments args(call.arguments);
//   auto text = args.string("text");
//   auto paths = args.stringList("paths");
//   if (!args.ok()) return result(FlutterError::errorWithCode("error", args.error()));

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ValueFwd.h"

struct CGRect;

class FlutterArguments {
 public:
  // `arguments` must outlive the reader; null reads as an empty map, anything
  // else but a map as one whose every key is absent.
  explicit FlutterArguments(const Value& arguments);

  std::optional<std::string> string(const char* key);
  std::optional<std::vector<std::string>> stringList(const char* key);
  // Any number: int32, int64 or double.
  std::optional<double> number(const char* key);
  // The rectangle of four numbers (origin x and y, width, height); nullopt
  // unless all four are present.
  std::optional<CGRect> rect(const char* x, const char* y, const char* width, const char* height);

  bool ok() const { return error_.empty(); }
  // The first wrong type met, e.g. Expected a string for "text".
  const std::string& error() const { return error_; }

 private:
  const Value* present(const char* key) const;
  void fail(const char* expected, const char* key);

  const Value& arguments_;
  std::string error_;
};

#include "NSJSONSerialization.h"
#include "UTF8.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace NSJSONSerialization {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text, std::string_view member = {},
                  std::string_view* memberText = nullptr)
      : s_(text), member_(member), memberText_(memberText) {}

  std::optional<Value> parseDocument(std::string* error) {
    std::optional<Value> v = parseValue(0);
    if (v) {
      skipSpace();
      if (pos_ != s_.size()) {
        v.reset();
        fail("unexpected text after the value");
      }
    }
    if (!v && error) *error = error_ + " at offset " + std::to_string(errorPos_);
    return v;
  }

 private:
  void fail(const std::string& why) {
    if (error_.empty()) {
      error_ = why;
      errorPos_ = pos_;
    }
  }

  void skipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) == word) {
      pos_ += word.size();
      return true;
    }
    return false;
  }

  std::optional<Value> parseValue(int depth) {
    if (depth > kMaxDepth) {
      fail("nesting too deep");
      return std::nullopt;
    }
    skipSpace();
    if (pos_ >= s_.size()) {
      fail("unexpected end of text");
      return std::nullopt;
    }
    char c = s_[pos_];
    if (c == '{') return parseObject(depth);
    if (c == '[') return parseArray(depth);
    if (c == '"') {
      auto str = parseString();
      if (!str) return std::nullopt;
      return Value(std::move(*str));
    }
    if (literal("null")) return Value();
    if (literal("true")) return Value(true);
    if (literal("false")) return Value(false);
    if (c == '-' || (c >= '0' && c <= '9')) return parseNumber();
    fail("unexpected character");
    return std::nullopt;
  }

  std::optional<Value> parseNumber() {
    size_t start = pos_;
    if (s_[pos_] == '-') ++pos_;
    bool integral = true;
    auto digits = [&] {
      size_t d = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      return pos_ > d;
    };
    if (!digits()) {
      fail("malformed number");
      return std::nullopt;
    }
    if (literal(".")) {
      integral = false;
      if (!digits()) {
        fail("malformed number");
        return std::nullopt;
      }
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      integral = false;
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (!digits()) {
        fail("malformed number");
        return std::nullopt;
      }
    }
    std::string text(s_.substr(start, pos_ - start));
    if (integral) {
      errno = 0;
      long long v = std::strtoll(text.c_str(), nullptr, 10);
      if (errno != ERANGE) return Value::integer(v);
    }
    return Value(std::strtod(text.c_str(), nullptr));
  }

  std::optional<uint32_t> hex4() {
    if (pos_ + 4 > s_.size()) return std::nullopt;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = HexDigitValue(s_[pos_++]);
      if (digit < 0) return std::nullopt;
      v = (v << 4) | static_cast<uint32_t>(digit);
    }
    return v;
  }

  std::optional<std::string> parseString() {
    ++pos_;  // opening quote
    std::string out;
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) {
        fail("control character in string");
        return std::nullopt;
      }
      if (c != '\\') {
        size_t len = UTF8SequenceLength(s_.data() + pos_ - 1, s_.size() - pos_ + 1);
        if (len == 0) {
          --pos_;
          fail("invalid UTF-8 in string");
          return std::nullopt;
        }
        out.append(s_.data() + pos_ - 1, len);
        pos_ += len - 1;
        continue;
      }
      if (pos_ >= s_.size()) break;
      char e = s_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          auto cp = hex4();
          if (!cp) {
            fail("bad unicode escape");
            return std::nullopt;
          }
          uint32_t code = *cp;
          // A surrogate stands for nothing on its own: only a high one
          // followed by an escaped low one makes a character.
          if (code >= 0xD800 && code < 0xE000) {
            if (code >= 0xDC00 || s_.substr(pos_, 2) != "\\u") {
              fail("lone surrogate escape");
              return std::nullopt;
            }
            pos_ += 2;
            auto low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) {
              fail("bad surrogate pair");
              return std::nullopt;
            }
            code = CombineSurrogates(code, *low);
          }
          AppendUTF8(out, code);
          break;
        }
        default:
          fail("bad escape");
          return std::nullopt;
      }
    }
    fail("unterminated string");
    return std::nullopt;
  }

  std::optional<Value> parseArray(int depth) {
    ++pos_;
    ValueList list;
    skipSpace();
    if (literal("]")) return Value(std::move(list));
    for (;;) {
      auto v = parseValue(depth + 1);
      if (!v) return std::nullopt;
      list.push_back(std::move(*v));
      skipSpace();
      if (literal(",")) continue;
      if (literal("]")) return Value(std::move(list));
      fail("expected ',' or ']'");
      return std::nullopt;
    }
  }

  std::optional<Value> parseObject(int depth) {
    ++pos_;
    ValueMap map;
    // Repeated keys are found through an index once the object is no longer
    // small, so a line of many keys costs linear time.
    std::unordered_map<std::string, size_t> index;
    skipSpace();
    if (literal("}")) return Value(std::move(map));
    for (;;) {
      skipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '"') {
        fail("expected a string key");
        return std::nullopt;
      }
      auto key = parseString();
      if (!key) return std::nullopt;
      skipSpace();
      if (!literal(":")) {
        fail("expected ':'");
        return std::nullopt;
      }
      skipSpace();
      const size_t valueStart = pos_;
      auto v = parseValue(depth + 1);
      if (!v) return std::nullopt;
      if (depth == 0 && memberText_ && *key == member_) {
        *memberText_ = s_.substr(valueStart, pos_ - valueStart);
      }
      // Later duplicates replace earlier ones, as most JSON readers do.
      addMember(map, index, std::move(*key), std::move(*v));
      skipSpace();
      if (literal(",")) continue;
      if (literal("}")) return Value(std::move(map));
      fail("expected ',' or '}'");
      return std::nullopt;
    }
  }

  static void addMember(ValueMap& map, std::unordered_map<std::string, size_t>& index,
                        std::string key, Value value) {
    constexpr size_t kIndexFrom = 16;
    if (map.size() < kIndexFrom) {
      for (auto& entry : map) {
        if (entry.first.asString() == key) {
          entry.second = std::move(value);
          return;
        }
      }
      map.emplace_back(Value(std::move(key)), std::move(value));
      if (map.size() == kIndexFrom) {
        for (size_t i = 0; i < map.size(); ++i) index.emplace(map[i].first.asString(), i);
      }
      return;
    }
    auto [it, added] = index.emplace(key, map.size());
    if (!added) {
      map[it->second].second = std::move(value);
      return;
    }
    map.emplace_back(Value(std::move(key)), std::move(value));
  }

  std::string_view s_;
  std::string_view member_;
  std::string_view* memberText_;
  size_t pos_ = 0;
  std::string error_;
  size_t errorPos_ = 0;
};

bool write(const Value& v, bool pretty, int indent, std::string& out, std::string* error) {
  auto newline = [&](int level) {
    if (!pretty) return;
    out += '\n';
    out.append(static_cast<size_t>(level) * 2, ' ');
  };
  switch (v.type()) {
    case Value::Type::Null:
      out += "null";
      return true;
    case Value::Type::Bool:
      out += v.asBool() ? "true" : "false";
      return true;
    case Value::Type::Int32:
    case Value::Type::Int64:
      out += std::to_string(v.asInt64());
      return true;
    case Value::Type::Double: {
      double d = v.asDouble();
      if (!std::isfinite(d)) {
        if (error) *error = "non-finite number";
        return false;
      }
      appendNumber(out, d);
      return true;
    }
    case Value::Type::String:
      out += '"';
      appendEscaped(out, v.asString());
      out += '"';
      return true;
    case Value::Type::List: {
      out += '[';
      bool first = true;
      for (const Value& e : v.asList()) {
        if (!first) out += ',';
        first = false;
        newline(indent + 1);
        if (!write(e, pretty, indent + 1, out, error)) return false;
      }
      if (!v.asList().empty()) newline(indent);
      out += ']';
      return true;
    }
    case Value::Type::Map: {
      out += '{';
      bool first = true;
      for (const auto& [k, e] : v.asMap()) {
        if (!k.isString()) {
          if (error) *error = "map key that is not a string";
          return false;
        }
        if (!first) out += ',';
        first = false;
        newline(indent + 1);
        out += '"';
        appendEscaped(out, k.asString());
        out += pretty ? "\": " : "\":";
        if (!write(e, pretty, indent + 1, out, error)) return false;
      }
      if (!v.asMap().empty()) newline(indent);
      out += '}';
      return true;
    }
    default:
      if (error) *error = "value kind that JSON cannot hold";
      return false;
  }
}

}  // namespace

std::optional<Value> JSONObjectWithData(std::string_view text, std::string* error) {
  return Parser(text).parseDocument(error);
}

std::optional<Value> JSONObjectWithData(std::string_view text, std::string_view member,
                                        std::string_view* memberText, std::string* error) {
  *memberText = {};
  auto value = Parser(text, member, memberText).parseDocument(error);
  if (!value) *memberText = {};
  return value;
}

std::optional<std::string> dataWithJSONObject(const Value& value, bool pretty,
                                              std::string* error) {
  std::string out;
  if (!write(value, pretty, 0, out, error)) return std::nullopt;
  return out;
}

std::string quoteString(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  appendEscaped(out, s);
  out += '"';
  return out;
}

void appendEscaped(std::string& out, std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      // JSON text is UTF-8: a byte that is not part of a character is
      // written as U+FFFD rather than making the whole text invalid.
      size_t len = UTF8SequenceLength(s.data() + i, s.size() - i);
      if (len == 0) {
        out += "\xEF\xBF\xBD";
      } else {
        out.append(s.data() + i, len);
        i += len - 1;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
}

void appendNumber(std::string& out, double d) {
  // The shortest text that reads back as the same double, with a marker of
  // floating point so that it reads back as a double at all.
  const size_t start = out.size();
  out += ShortestDoubleText(d);
  if (out.find_first_of(".e", start) == std::string::npos) out += ".0";
}

}  // namespace NSJSONSerialization

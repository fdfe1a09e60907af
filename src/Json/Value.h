#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace Json {

class Value;
using Array = std::vector<Value>;
// Members are kept in ascending byte order of their keys, which is the order they are written in.
using Object = std::map<std::string, Value, std::less<>>;

// A JSON value. Numbers written without fraction or exponent that fit a signed 64-bit integer are
// integers; every other number is a double.
class Value {
 public:
  using Storage =
      std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, Array, Object>;

  Value() : v_(nullptr) {}
  Value(std::nullptr_t) : v_(nullptr) {}
  Value(bool b) : v_(b) {}
  template <std::integral I>
  requires(!std::same_as<I, bool>) Value(I i) : v_(static_cast<std::int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  bool isNull() const { return std::holds_alternative<std::nullptr_t>(v_); }
  // Each accessor yields the value when it holds that type, nullptr otherwise.
  const bool* asBool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* asInt() const { return std::get_if<std::int64_t>(&v_); }
  const double* asDouble() const { return std::get_if<double>(&v_); }
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const Array* asArray() const { return std::get_if<Array>(&v_); }
  const Object* asObject() const { return std::get_if<Object>(&v_); }
  // Mutable forms, so that a caller that owns a parsed value can move its parts out.
  std::string* asString() { return std::get_if<std::string>(&v_); }
  Array* asArray() { return std::get_if<Array>(&v_); }
  Object* asObject() { return std::get_if<Object>(&v_); }

  // The member named `key` of an object; nullptr when this is not an object or has no such member.
  const Value* find(std::string_view key) const {
    const Object* o = asObject();
    if (o == nullptr) return nullptr;
    auto it = o->find(key);
    return it == o->end() ? nullptr : &it->second;
  }

  const Storage& storage() const { return v_; }
  bool operator==(const Value&) const = default;

 private:
  Storage v_;
};

// Sets o[key] to the value when it is present; an absent optional leaves the key out.
template <class T>
void setIfPresent(Object& o, std::string key, const std::optional<T>& value) {
  if (value) o.insert_or_assign(std::move(key), Value(*value));
}

// The deepest nesting of arrays and objects that is written or read: "[[1]]" has depth 2.
inline constexpr int maxDepth = 128;

// Compact JSON: no white space, members in ascending key order, "/" written as "\/", texts as
// UTF-8 with the standard escapes (other control characters as \u00xx), integers in decimal,
// doubles in their shortest exact form with ".0" added when that form has neither "." nor an
// exponent (so that they read back as doubles). Empty when the value cannot be encoded: a text
// (string or key) that is not valid UTF-8, a double that is not finite, or nesting deeper than
// maxDepth. Whatever it writes, parse reads back to an equal value.
std::optional<std::string> write(const Value& value);

// Strict RFC 8259 reading of one value with optional surrounding white space (space, tab, LF,
// CR). Empty for anything else, including nesting deeper than maxDepth, invalid UTF-8, control
// characters in strings, lone surrogate escapes, doubles out of range and trailing bytes. A
// repeated key keeps its last value. Never throws, however malformed or deep the input.
std::optional<Value> parse(std::string_view text);

}  // namespace Json

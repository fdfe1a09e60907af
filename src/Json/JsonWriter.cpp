#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Base/Utf8.h"
#include "Json/Value.h"

namespace Json {

namespace {

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  // Appends `value`; false when it cannot be encoded, leaving `out_` partly written.
  bool value(const Value& v, int depth) {
    return std::visit([&](const auto& x) { return write(x, depth); }, v.storage());
  }

 private:
  bool write(std::nullptr_t, int) {
    out_ += "null";
    return true;
  }

  bool write(bool b, int) {
    out_ += b ? "true" : "false";
    return true;
  }

  bool write(std::int64_t i, int) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, i);
    out_.append(buf, r.ptr);
    return true;
  }

  // Shortest digits that read back to the same double. A form without "." or exponent gets ".0",
  // so that the text reads back as a double and never as an integer ("-0.0" keeps its sign).
  bool write(double d, int) {
    if (!std::isfinite(d)) return false;
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, d);
    const std::string_view digits(buf, static_cast<std::size_t>(r.ptr - buf));
    out_ += digits;
    if (digits.find_first_of(".e") == std::string_view::npos) out_ += ".0";
    return true;
  }

  bool write(const std::string& s, int) { return string(s); }

  bool write(const Array& a, int depth) {
    if (depth >= maxDepth) return false;
    out_ += '[';
    bool first = true;
    for (const Value& element : a) {
      if (!first) out_ += ',';
      first = false;
      if (!value(element, depth + 1)) return false;
    }
    out_ += ']';
    return true;
  }

  bool write(const Object& o, int depth) {
    if (depth >= maxDepth) return false;
    out_ += '{';
    bool first = true;
    for (const auto& [key, member] : o) {
      if (!first) out_ += ',';
      first = false;
      if (!string(key)) return false;
      out_ += ':';
      if (!value(member, depth + 1)) return false;
    }
    out_ += '}';
    return true;
  }

  // Appends `s` as a JSON string; false when `s` is not valid UTF-8.
  bool string(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out_.reserve(out_.size() + s.size() + 2);
    out_ += '"';
    std::size_t i = 0;
    std::size_t run = 0;  // start of the bytes not yet appended, all copied unchanged
    while (i < s.size()) {
      const auto c = static_cast<std::uint8_t>(s[i]);
      if (c >= 0x80) {
        const std::optional<Base::CodePoint> cp = Base::decodeUtf8(s.substr(i));
        if (!cp) return false;
        i += cp->length;
        continue;
      }
      const char* escape = nullptr;
      switch (c) {
        case '"':
          escape = "\\\"";
          break;
        case '\\':
          escape = "\\\\";
          break;
        case '/':
          escape = "\\/";
          break;
        case '\b':
          escape = "\\b";
          break;
        case '\f':
          escape = "\\f";
          break;
        case '\n':
          escape = "\\n";
          break;
        case '\r':
          escape = "\\r";
          break;
        case '\t':
          escape = "\\t";
          break;
        default:
          if (c >= 0x20) {
            ++i;
            continue;
          }
      }
      out_.append(s, run, i - run);
      if (escape != nullptr) {
        out_ += escape;
      } else {
        const char control[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out_.append(control, sizeof control);
      }
      run = ++i;
    }
    out_.append(s, run, i - run);
    out_ += '"';
    return true;
  }

  std::string& out_;
};

}  // namespace

std::optional<std::string> write(const Value& value) {
  std::string out;
  out.reserve(256);
  if (!Writer(out).value(value, 0)) return std::nullopt;
  return out;
}

}  // namespace Json

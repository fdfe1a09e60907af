#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "Base/Utf8.h"
#include "Json/Value.h"

namespace Json {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Recursive descent over `text_`. Every read checks the position against the end first; the
// recursion is bounded by maxDepth, so no input can exhaust the stack.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::optional<Value> document() {
    skipSpace();
    std::optional<Value> v = value(0);
    if (!v) return std::nullopt;
    skipSpace();
    if (pos_ != text_.size()) return std::nullopt;
    return v;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  void skipSpace() {
    while (!atEnd()) {
      const char c = peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++pos_;
    }
  }

  bool consume(char c) {
    if (atEnd() || peek() != c) return false;
    ++pos_;
    return true;
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // REQUIRES: white space before the value is skipped. `depth` counts the enclosing containers.
  std::optional<Value> value(int depth) {
    if (atEnd()) return std::nullopt;
    switch (peek()) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"': {
        std::optional<std::string> s = string();
        if (!s) return std::nullopt;
        return Value(std::move(*s));
      }
      case 't':
        if (!literal("true")) return std::nullopt;
        return Value(true);
      case 'f':
        if (!literal("false")) return std::nullopt;
        return Value(false);
      case 'n':
        if (!literal("null")) return std::nullopt;
        return Value(nullptr);
      default:
        return number();
    }
  }

  // REQUIRES: peek() == '['.
  std::optional<Value> array(int depth) {
    if (depth >= maxDepth) return std::nullopt;
    ++pos_;
    Array a;
    skipSpace();
    if (consume(']')) return Value(std::move(a));
    while (true) {
      skipSpace();
      std::optional<Value> element = value(depth + 1);
      if (!element) return std::nullopt;
      a.push_back(std::move(*element));
      skipSpace();
      if (consume(']')) return Value(std::move(a));
      if (!consume(',')) return std::nullopt;
    }
  }

  // REQUIRES: peek() == '{'.
  std::optional<Value> object(int depth) {
    if (depth >= maxDepth) return std::nullopt;
    ++pos_;
    Object o;
    skipSpace();
    if (consume('}')) return Value(std::move(o));
    while (true) {
      skipSpace();
      if (atEnd() || peek() != '"') return std::nullopt;
      std::optional<std::string> key = string();
      if (!key) return std::nullopt;
      skipSpace();
      if (!consume(':')) return std::nullopt;
      skipSpace();
      std::optional<Value> member = value(depth + 1);
      if (!member) return std::nullopt;
      o.insert_or_assign(std::move(*key), std::move(*member));
      skipSpace();
      if (consume('}')) return Value(std::move(o));
      if (!consume(',')) return std::nullopt;
    }
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? ; integral forms that fit int64 become
  // integers, everything else a double. Doubles whose magnitude is out of range are refused.
  std::optional<Value> number() {
    const std::size_t start = pos_;
    consume('-');
    if (atEnd() || !isDigit(peek())) return std::nullopt;
    if (peek() == '0') {
      ++pos_;
    } else {
      skipDigits();
    }
    bool integral = true;
    if (consume('.')) {
      integral = false;
      if (!skipDigits()) return std::nullopt;
    }
    if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!consume('+')) consume('-');
      if (!skipDigits()) return std::nullopt;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (integral) {
      std::int64_t i = 0;
      const auto r = std::from_chars(first, last, i);
      if (r.ec == std::errc() && r.ptr == last) return Value(i);
    }
    double d = 0;
    const auto r = std::from_chars(first, last, d);
    if (r.ec != std::errc() || r.ptr != last) return std::nullopt;
    return Value(d);
  }

  // Skips [0-9]*; true when at least one digit was skipped.
  bool skipDigits() {
    const std::size_t start = pos_;
    while (!atEnd() && isDigit(peek())) ++pos_;
    return pos_ != start;
  }

  // REQUIRES: peek() == '"'.
  std::optional<std::string> string() {
    ++pos_;
    std::string out;
    std::size_t run = pos_;  // start of the bytes not yet appended, all copied unchanged
    while (true) {
      // Plain ASCII runs (most of a long text, e.g. base64) are skipped in one tight loop.
      while (pos_ < text_.size()) {
        const auto b = static_cast<std::uint8_t>(text_[pos_]);
        if (b == '"' || b == '\\' || b < 0x20 || b >= 0x80) break;
        ++pos_;
      }
      if (atEnd()) return std::nullopt;
      const auto c = static_cast<std::uint8_t>(peek());
      if (c == '"') {
        out.append(text_, run, pos_ - run);
        ++pos_;
        return out;
      }
      if (c < 0x20) return std::nullopt;
      if (c >= 0x80) {
        const std::optional<Base::CodePoint> cp = Base::decodeUtf8(text_.substr(pos_));
        if (!cp) return std::nullopt;
        pos_ += cp->length;
        continue;
      }
      if (c != '\\') {
        ++pos_;
        continue;
      }
      out.append(text_, run, pos_ - run);
      ++pos_;
      if (atEnd()) return std::nullopt;
      const char e = peek();
      ++pos_;
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
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
        case 'u':
          if (!unicodeEscape(out)) return std::nullopt;
          break;
        default:
          return std::nullopt;
      }
      run = pos_;
    }
  }

  // Reads the XXXX of a \uXXXX escape, plus the low half that must follow a high surrogate, and
  // appends the code point as UTF-8. Lone or reversed surrogates are refused.
  bool unicodeEscape(std::string& out) {
    std::optional<char32_t> unit = hex4();
    if (!unit) return false;
    char32_t cp = *unit;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (!literal("\\u")) return false;
      const std::optional<char32_t> low = hex4();
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
    }
    appendUtf8(out, cp);
    return true;
  }

  std::optional<char32_t> hex4() {
    if (text_.size() - pos_ < 4) return std::nullopt;
    char32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      char32_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<char32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<char32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<char32_t>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
      v = (v << 4) | digit;
    }
    return v;
  }

  // REQUIRES: cp <= 0x10FFFF and cp is not a surrogate.
  static void appendUtf8(std::string& out, char32_t cp) {
    const auto byte = [](char32_t b) { return static_cast<char>(static_cast<unsigned char>(b)); };
    if (cp < 0x80) {
      out += byte(cp);
    } else if (cp < 0x800) {
      out += byte(0xC0 | (cp >> 6));
      out += byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += byte(0xE0 | (cp >> 12));
      out += byte(0x80 | ((cp >> 6) & 0x3F));
      out += byte(0x80 | (cp & 0x3F));
    } else {
      out += byte(0xF0 | (cp >> 18));
      out += byte(0x80 | ((cp >> 12) & 0x3F));
      out += byte(0x80 | ((cp >> 6) & 0x3F));
      out += byte(0x80 | (cp & 0x3F));
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<Value> parse(std::string_view text) { return Reader(text).document(); }

}  // namespace Json

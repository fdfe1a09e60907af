// Reads arbitrary bytes as JSON. Whatever is accepted must be writable, and the written text must
// read back to an equal value and be written again byte for byte the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "Json/Value.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "FuzzJson: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<Json::Value> value = Json::parse(text);
  if (!value) return 0;
  const std::optional<std::string> written = Json::write(*value);
  check(written.has_value(), "an accepted value cannot be written");
  const std::optional<Json::Value> reread = Json::parse(*written);
  check(reread.has_value(), "the written text is refused");
  check(*reread == *value, "the written text reads back to a different value");
  check(Json::write(*reread) == written, "writing is not stable");
  return 0;
}

#include "KelmVododIdizor/BundleInfo.h"

#include <charconv>

namespace KelmVododIdizor {

std::string BundleInfo::version(const std::optional<std::string>& value) {
  return value ? *value : std::string("dev");
}

std::int64_t BundleInfo::build(const std::optional<std::string>& value) {
  if (!value || value->empty()) return 0;
  std::string_view text = *value;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars would take a second sign; a bare sign or "+-1" is not a number.
  if (text.empty() || text.front() < '0' || text.front() > '9') return 0;
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  return negative ? -number : number;
}

bool BundleInfo::runningFromDiskImage(std::string_view path) {
  return path.starts_with("/Volumes/");
}

const std::string& BundleInfo::current() {
  static const std::string value =
      version(std::string_view(KELM_VERSION).empty() ? std::nullopt
                                                     : std::optional<std::string>(KELM_VERSION));
  return value;
}

std::int64_t BundleInfo::currentBuild() {
  static const std::int64_t value = build(std::string(KELM_BUILD));
  return value;
}

}  // namespace KelmVododIdizor

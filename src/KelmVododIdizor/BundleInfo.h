#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace KelmVododIdizor {

// What the application knows about its own build, and the rules that read it.
struct BundleInfo {
  // The version text: `value` when present, otherwise "dev".
  static std::string version(const std::optional<std::string>& value);
  // The build number: `value` read as a whole decimal number with an optional leading "+" or "-";
  // 0 when absent, empty, not a number or out of range.
  static std::int64_t build(const std::optional<std::string>& value);
  // Whether a program at `path` runs from a mounted disk image (a path under "/Volumes/").
  // Never the case on Linux; kept for a macOS layer.
  static bool runningFromDiskImage(std::string_view path);

  // This build's version and build number, set at configure time.
  static const std::string& current();
  static std::int64_t currentBuild();
};

}  // namespace KelmVododIdizor

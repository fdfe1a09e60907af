#pragma once

#include <concepts>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Json/Value.h"

namespace BridgeKit {

// One answer of the bridge. On the wire it always closes the connection and forbids caching.
struct HTTPResponse {
  std::int64_t status = 0;
  // Written in this order, duplicates kept. Never holds Content-Length, Cache-Control or
  // Connection: serialized() adds those.
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<std::uint8_t> body;

  bool operator==(const HTTPResponse&) const = default;

  // A JSON answer: the body is `value` written compactly, or "{}" when it cannot be written; the
  // only header is Content-Type: application/json.
  static HTTPResponse json(int status, const Json::Value& value);

  // A JSON answer for any value with a `Json::Value toJson(const T&)` found by argument-dependent
  // lookup.
  template <class T>
  requires requires(const T& v) {
    { toJson(v) } -> std::convertible_to<Json::Value>;
  }
  static HTTPResponse json(int status, const T& value) {
    return json(status, Json::Value(toJson(value)));
  }

  // The response as it goes on the wire: status line, own headers, Content-Length,
  // Cache-Control: no-store, Connection: close, blank line, body. Names and values are written
  // unchanged.
  std::vector<std::uint8_t> serialized() const;

  // The reason phrase of the status line: the standard one for the statuses this system sends,
  // "Status" for any other.
  static std::string_view reason(std::int64_t status);
};

std::ostream& operator<<(std::ostream& os, const HTTPResponse& response);

}  // namespace BridgeKit

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace BridgeKit {

// The JSON body of POST /v1/print: {"tapeMm": <integer>, "labels": [{"png": <base64>}, ...]}.
// Other keys, at the top and in each label, are ignored.
struct PrintRequest {
  struct Label {
    std::string png;  // the PNG file in base64, as sent; checked only when converted
    bool operator==(const Label&) const = default;
  };

  std::int64_t tapeMm = 0;
  std::vector<Label> labels;  // in printing order; may be empty

  // Empty when the body is not one JSON value (an empty body included), is not an object, a
  // required key is missing or a value has the wrong type: "tapeMm" must be a number with an
  // integral value within int64 (18, 18.0 and 1.8e1 alike; not 18.5, "18", true or null),
  // "labels" an array, each of its elements an object whose "png" is a string.
  static std::optional<PrintRequest> decode(std::span<const std::uint8_t> body);

  bool operator==(const PrintRequest&) const = default;
};

}  // namespace BridgeKit

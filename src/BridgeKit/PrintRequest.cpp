#include "BridgeKit/PrintRequest.h"

#include <cmath>
#include <string_view>
#include <utility>

#include "Json/Value.h"

namespace BridgeKit {

namespace {

// The value as an int64 when it is a number whose value is a whole number in range.
std::optional<std::int64_t> integral(const Json::Value& value) {
  if (const std::int64_t* i = value.asInt()) return *i;
  const double* d = value.asDouble();
  // 2^63 is the first double past int64; the parser yields only finite doubles.
  if (d == nullptr || std::trunc(*d) != *d || *d < -9223372036854775808.0 ||
      *d >= 9223372036854775808.0) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(*d);
}

Json::Value* member(Json::Object& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &it->second;
}

}  // namespace

std::optional<PrintRequest> PrintRequest::decode(std::span<const std::uint8_t> body) {
  std::optional<Json::Value> document =
      Json::parse(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
  if (!document) return std::nullopt;
  Json::Object* object = document->asObject();
  if (object == nullptr) return std::nullopt;

  const Json::Value* tapeMm = member(*object, "tapeMm");
  Json::Value* labels = member(*object, "labels");
  if (tapeMm == nullptr || labels == nullptr) return std::nullopt;
  const std::optional<std::int64_t> tape = integral(*tapeMm);
  Json::Array* elements = labels->asArray();
  if (!tape || elements == nullptr) return std::nullopt;

  PrintRequest request;
  request.tapeMm = *tape;
  request.labels.reserve(elements->size());
  for (Json::Value& element : *elements) {
    Json::Object* label = element.asObject();
    Json::Value* png = label == nullptr ? nullptr : member(*label, "png");
    std::string* text = png == nullptr ? nullptr : png->asString();
    if (text == nullptr) return std::nullopt;
    // The texts are most of a large body: moved, never copied.
    request.labels.push_back(Label{std::move(*text)});
  }
  return request;
}

}  // namespace BridgeKit

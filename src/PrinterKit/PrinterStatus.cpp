#include "PrinterKit/PrinterStatus.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>

#include "PrinterKit/TepraPro.h"

namespace PrinterKit {

namespace {

// The first position at which `needle` occurs whole inside `haystack`; a needle that runs past
// the end is not found.
std::optional<std::size_t> firstIndex(std::span<const std::uint8_t> needle,
                                      std::span<const std::uint8_t> haystack) {
  if (haystack.size() < needle.size()) return std::nullopt;
  auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
  if (it == haystack.end()) return std::nullopt;
  return static_cast<std::size_t>(it - haystack.begin());
}

PrinterStatus::State stateFromCode(std::uint8_t code) {
  switch (code) {
    case 0x00:
    case 0x05:
      return PrinterStatus::State::ready;
    case 0x02:
      return PrinterStatus::State::printing;
    default:
      return PrinterStatus::State::unknown;
  }
}

PrinterStatus::Problem problemFromCode(std::uint8_t code) {
  switch (code) {
    case 0x21:
      return PrinterStatus::Problem::coverOpen;
    case 0x06:
      return PrinterStatus::Problem::noCassette;
    default:
      return PrinterStatus::Problem::unknown;
  }
}

// A whole number within [low, high]: an integer, or a double with no fraction.
std::optional<std::int64_t> wholeNumber(const Json::Value& v, std::int64_t low, std::int64_t high) {
  if (const std::int64_t* i = v.asInt()) {
    if (*i < low || *i > high) return std::nullopt;
    return *i;
  }
  if (const double* d = v.asDouble()) {
    if (!std::isfinite(*d) || std::trunc(*d) != *d) return std::nullopt;
    if (*d < static_cast<double>(low) || *d > static_cast<double>(high)) return std::nullopt;
    return static_cast<std::int64_t>(*d);
  }
  return std::nullopt;
}

std::optional<std::uint8_t> code(const Json::Value& object, std::string_view key) {
  const Json::Value* v = object.find(key);
  if (v == nullptr) return std::nullopt;
  auto n = wholeNumber(*v, 0, 255);
  if (!n) return std::nullopt;
  return static_cast<std::uint8_t>(*n);
}

}  // namespace

std::optional<PrinterStatus> PrinterStatus::fromReply(std::span<const std::uint8_t> reply) {
  if (reply.size() <= 16) return std::nullopt;
  if (!std::equal(header.begin(), header.end(), reply.begin())) return std::nullopt;
  const std::uint8_t stateCode = reply[14];
  const std::uint8_t problemCode = reply[15];
  const std::uint8_t tapeCode = reply[16];
  PrinterStatus s{
      stateFromCode(stateCode), std::nullopt, std::nullopt, tapeCode, stateCode, problemCode};
  if (problemCode != 0x00) {
    s.problem = problemFromCode(problemCode);
  } else if (auto it = TepraPro::tapeByCode.find(tapeCode); it != TepraPro::tapeByCode.end()) {
    s.tapeMm = it->second;
  }
  return s;
}

PrinterStatus::SplitResult PrinterStatus::split(std::span<const std::uint8_t> bytes) {
  // The frame's own 92 bytes plus the 9 that may hold the start of a header beginning at its
  // offset 91: a new header that starts inside the frame lies whole within this window.
  constexpr std::size_t window = replyLength + header.size() - 1;
  SplitResult result;
  std::span<const std::uint8_t> buf = bytes;
  for (;;) {
    const std::optional<std::size_t> start = firstIndex(header, buf);
    if (!start) {
      const std::size_t keep = std::min(buf.size(), header.size() - 1);
      result.rest.assign(buf.end() - static_cast<std::ptrdiff_t>(keep), buf.end());
      return result;
    }
    buf = buf.subspan(*start);
    const std::size_t searched = std::min(buf.size(), window);
    if (auto next = firstIndex(header, buf.subspan(1, searched - 1))) {
      buf = buf.subspan(*next + 1);
      continue;
    }
    if (buf.size() < replyLength) {
      result.rest.assign(buf.begin(), buf.end());
      return result;
    }
    if (auto status = fromReply(buf.first(replyLength))) result.replies.push_back(*status);
    buf = buf.subspan(replyLength);
  }
}

std::string_view text(PrinterStatus::State state) {
  switch (state) {
    case PrinterStatus::State::ready:
      return "ready";
    case PrinterStatus::State::printing:
      return "printing";
    case PrinterStatus::State::unknown:
      return "unknown";
  }
  return "unknown";
}

std::string_view text(PrinterStatus::Problem problem) {
  switch (problem) {
    case PrinterStatus::Problem::coverOpen:
      return "coverOpen";
    case PrinterStatus::Problem::noCassette:
      return "noCassette";
    case PrinterStatus::Problem::unknown:
      return "unknown";
  }
  return "unknown";
}

std::optional<PrinterStatus::State> stateFromText(std::string_view t) {
  for (auto s : {PrinterStatus::State::ready, PrinterStatus::State::printing,
                 PrinterStatus::State::unknown}) {
    if (text(s) == t) return s;
  }
  return std::nullopt;
}

std::optional<PrinterStatus::Problem> problemFromText(std::string_view t) {
  for (auto p : {PrinterStatus::Problem::coverOpen, PrinterStatus::Problem::noCassette,
                 PrinterStatus::Problem::unknown}) {
    if (text(p) == t) return p;
  }
  return std::nullopt;
}

Json::Value toJson(const PrinterStatus& status) {
  Json::Object o;
  o.emplace("state", text(status.state));
  if (status.problem) o.emplace("problem", text(*status.problem));
  Json::setIfPresent(o, "tapeMm", status.tapeMm);
  o.emplace("tapeCode", status.tapeCode);
  o.emplace("stateCode", status.stateCode);
  o.emplace("problemCode", status.problemCode);
  return o;
}

std::optional<PrinterStatus> printerStatusFromJson(const Json::Value& json) {
  if (json.asObject() == nullptr) return std::nullopt;

  const Json::Value* stateValue = json.find("state");
  if (stateValue == nullptr || stateValue->asString() == nullptr) return std::nullopt;
  const std::optional<PrinterStatus::State> state = stateFromText(*stateValue->asString());
  if (!state) return std::nullopt;

  std::optional<PrinterStatus::Problem> problem;
  if (const Json::Value* v = json.find("problem"); v != nullptr && !v->isNull()) {
    if (v->asString() == nullptr) return std::nullopt;
    problem = problemFromText(*v->asString());
    if (!problem) return std::nullopt;
  }

  std::optional<int> tapeMm;
  if (const Json::Value* v = json.find("tapeMm"); v != nullptr && !v->isNull()) {
    auto n = wholeNumber(*v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    if (!n) return std::nullopt;
    tapeMm = static_cast<int>(*n);
  }

  const std::optional<std::uint8_t> tapeCode = code(json, "tapeCode");
  const std::optional<std::uint8_t> stateCode = code(json, "stateCode");
  const std::optional<std::uint8_t> problemCode = code(json, "problemCode");
  if (!tapeCode || !stateCode || !problemCode) return std::nullopt;

  return PrinterStatus{*state, problem, tapeMm, *tapeCode, *stateCode, *problemCode};
}

void PrintTo(PrinterStatus::State state, std::ostream* os) { *os << text(state); }

void PrintTo(PrinterStatus::Problem problem, std::ostream* os) { *os << text(problem); }

void PrintTo(const PrinterStatus& status, std::ostream* os) {
  *os << "{state " << text(status.state) << ", problem ";
  if (status.problem) {
    *os << text(*status.problem);
  } else {
    *os << "none";
  }
  *os << ", tapeMm ";
  if (status.tapeMm) {
    *os << *status.tapeMm;
  } else {
    *os << "none";
  }
  *os << ", tapeCode " << unsigned{status.tapeCode} << ", stateCode " << unsigned{status.stateCode}
      << ", problemCode " << unsigned{status.problemCode} << "}";
}

}  // namespace PrinterKit

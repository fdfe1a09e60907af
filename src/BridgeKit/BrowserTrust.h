#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace BridgeKit {

// Where the browsers of this machine learn which TLS server certificates to accept. Statuses are
// the platform's codes, 0 for success.
//
// Threads: every call may block on I/O for a while and may run on any thread.
class BrowserTrust {
 public:
  virtual ~BrowserTrust() = default;

  // Makes every browser accept the DER certificate for TLS servers, stored under `nickname`.
  // On failure the stores are left as they were.
  virtual std::int32_t trust(std::span<const std::uint8_t> der, std::string_view nickname) = 0;
  // Whether every browser accepts the DER certificate for a TLS server at 127.0.0.1, under
  // `nickname`. Any failure to find out counts as false.
  virtual bool isTrusted(std::span<const std::uint8_t> der, std::string_view nickname) = 0;
  // Deletes every certificate stored under any of the nicknames; ignores every failure.
  virtual void remove(std::span<const std::string_view> nicknames) = 0;
};

}  // namespace BridgeKit

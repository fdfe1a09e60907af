#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace BridgeKit {

// The user's private store of keys and certificates, as LocalCertificate needs it: items that
// carry a label, keys that also carry an application tag. Statuses are the platform's codes,
// 0 for success. Implementations keep the private keys readable by the user alone.
//
// Threads: an implementation may be used from any thread, but not by two at once.
class KeyStore {
 public:
  using Bytes = std::vector<std::uint8_t>;

  virtual ~KeyStore() = default;

  // Stores a private key given as PKCS#8 PEM.
  // REQUIRES: label holds no line break.
  virtual std::int32_t addKey(const std::string& pkcs8PEM, std::string_view label,
                              std::span<const std::uint8_t> tag) = 0;
  // Stores a DER certificate.
  // REQUIRES: label holds no line break.
  virtual std::int32_t addCertificate(std::span<const std::uint8_t> der,
                                      std::string_view label) = 0;
  // The DER certificates labelled exactly `label`, in the store's order; nullopt when the store
  // exists but cannot be read.
  virtual std::optional<std::vector<Bytes>> certificates(std::string_view label) = 0;
  // Every stored private key as PKCS#8 PEM, whatever its label and tag.
  virtual std::vector<std::string> privateKeys() = 0;
  // Deletes the certificates labelled `label`, and whatever an interrupted store left behind.
  virtual void removeCertificates(std::string_view label) = 0;
  // Deletes the private keys tagged `tag`, and whatever an interrupted store left behind.
  virtual void removeKeys(std::span<const std::uint8_t> tag) = 0;
};

}  // namespace BridgeKit

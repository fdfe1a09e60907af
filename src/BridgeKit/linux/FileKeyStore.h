#pragma once

#include <string>

#include "BridgeKit/KeyStore.h"

namespace BridgeKit {

// A key store in one directory that only the user may enter (mode 0700, owned by the user; a
// symbolic link or a foreign owner is refused). Every item is two files, both mode 0600: its data
// ("<id>.pem" PKCS#8 PEM for a key, "<id>.der" for a certificate) and its attributes
// ("<id>.attrs": kind, label and, for keys, the tag in hex). Files are written under a temporary
// name and renamed into place, data first, so an item exists exactly when its attributes do;
// whatever an interrupted store leaves behind is deleted by the next removal. Statuses are errno
// values.
class FileKeyStore : public KeyStore {
 public:
  // REQUIRES: directory is an absolute path. It is created (with its parents) on first store.
  explicit FileKeyStore(std::string directory);

  const std::string& directory() const { return directory_; }

  std::int32_t addKey(const std::string& pkcs8PEM, std::string_view label,
                      std::span<const std::uint8_t> tag) override;
  std::int32_t addCertificate(std::span<const std::uint8_t> der, std::string_view label) override;
  std::optional<std::vector<Bytes>> certificates(std::string_view label) override;
  std::vector<std::string> privateKeys() override;
  void removeCertificates(std::string_view label) override;
  void removeKeys(std::span<const std::uint8_t> tag) override;

 private:
  struct Item;
  std::int32_t add(std::span<const std::uint8_t> data, const char* extension,
                   const std::string& attributes);
  // The directory opened for reading; -1 when missing, -2 when it is not ours to trust.
  int openDirectory() const;
  std::optional<std::vector<Item>> items(int directoryFd) const;
  void removeWhere(bool (*match)(const Item&, std::string_view), std::string_view value);

  std::string directory_;
};

}  // namespace BridgeKit

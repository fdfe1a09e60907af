#pragma once

#include <string>
#include <vector>

#include "BridgeKit/BrowserTrust.h"

namespace BridgeKit {

// Browser trust through the NSS certificate databases that browsers read, changed with NSS's
// certutil tool (package libnss3-tools):
// - ~/.pki/nssdb (Chrome, Chromium), created by trust() when missing;
// - ~/snap/chromium/current/.pki/nssdb, when it holds a database;
// - every Firefox profile directory holding a cert9.db under ~/.mozilla/firefox,
//   ~/.config/mozilla/firefox and ~/snap/firefox/common/.mozilla/firefox.
// The certificate goes into each with the trust flags "CP,," (Chromium accepts a non-CA leaf
// only with P, Firefox only with C).
//
// trust() first reads every database, and changes none when one of them cannot be read (locked
// or broken); a database that fails while being changed makes trust() undo what it changed in
// the others. Statuses: certutil's exit status, statusToolMissing when certutil cannot be found
// or started, statusToolFailed when it crashed or hung, or an errno value for ~/.pki/nssdb.
class NSSBrowserTrust : public BrowserTrust {
 public:
  static constexpr std::int32_t statusToolMissing = 127;
  static constexpr std::int32_t statusToolFailed = -1;
  // The flags written by trust() and required by isTrusted().
  static constexpr const char* trustFlags = "CP,,";

  // REQUIRES: home is an absolute path. certutil empty: looked up in PATH at each call.
  explicit NSSBrowserTrust(std::string home, std::string certutil = {});

  // The databases of the list above that exist now, ~/.pki/nssdb first, as directories.
  std::vector<std::string> databases() const;

  std::int32_t trust(std::span<const std::uint8_t> der, std::string_view nickname) override;
  bool isTrusted(std::span<const std::uint8_t> der, std::string_view nickname) override;
  void remove(std::span<const std::string_view> nicknames) override;

  // The text telling the user what to install when certutil is missing.
  static const char* missingToolText();

 private:
  struct Run;
  struct Entry;
  std::string certutil() const;
  Run run(const std::string& tool, const std::string& database, std::vector<std::string> args,
          const std::vector<std::uint8_t>& input = {}) const;
  // The certificates stored under `nickname` with their trust; nullopt when unreadable.
  std::vector<Entry> entries(const std::string& tool, const std::string& database,
                             std::string_view nickname) const;
  void removeAll(const std::string& tool, const std::string& database,
                 std::string_view nickname) const;
  std::int32_t ensureChromiumDatabase(const std::string& tool) const;

  std::string home_;
  std::string certutil_;
};

}  // namespace BridgeKit

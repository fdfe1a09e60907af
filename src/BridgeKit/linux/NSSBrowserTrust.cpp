#include "BridgeKit/linux/NSSBrowserTrust.h"

#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtDebug>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "Base/Require.h"
#include "BridgeKit/Crypto.h"

namespace BridgeKit {

namespace {

// A busy or hung database must not block the caller for ever.
constexpr int kToolTimeoutMs = 60'000;

bool hasDatabase(const std::filesystem::path& directory) {
  std::error_code error;
  return std::filesystem::is_regular_file(directory / "cert9.db", error);
}

std::string trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

// The SSL trust letters of certutil's description of one flag, or "" for others.
const char* sslLetter(const std::string& line) {
  if (line == "Trusted CA") return "C";
  if (line == "Trusted") return "P";
  if (line == "Valid CA") return "c";
  if (line == "Valid Peer" || line == "Terminal Record") return "p";
  if (line == "Trusted Client CA") return "T";
  if (line == "User") return "u";
  if (line == "Warning when sending") return "w";
  return "";
}

}  // namespace

struct NSSBrowserTrust::Run {
  std::int32_t status;
  std::string output;
};

struct NSSBrowserTrust::Entry {
  std::string sha256;  // lower-case hex, no separators
  std::string ssl;     // certutil's SSL trust letters, e.g. "CPcp"
};

NSSBrowserTrust::NSSBrowserTrust(std::string home, std::string certutil)
    : home_(std::move(home)), certutil_(std::move(certutil)) {
  KELM_REQUIRE(!home_.empty() && home_.front() == '/');
}

const char* NSSBrowserTrust::missingToolText() {
  return "certutil was not found: install the package libnss3-tools (apt install libnss3-tools) "
         "so that browsers can be told to trust the certificate.";
}

std::string NSSBrowserTrust::certutil() const {
  if (!certutil_.empty()) {
    return QFileInfo(QString::fromStdString(certutil_)).isExecutable() ? certutil_ : std::string();
  }
  return QStandardPaths::findExecutable(QStringLiteral("certutil")).toStdString();
}

std::vector<std::string> NSSBrowserTrust::databases() const {
  namespace fs = std::filesystem;
  const fs::path home(home_);
  std::vector<std::string> result;
  for (const fs::path& chromium :
       {home / ".pki/nssdb", home / "snap/chromium/current/.pki/nssdb"}) {
    if (hasDatabase(chromium)) result.push_back(chromium.string());
  }
  for (const fs::path& root : {home / ".mozilla/firefox", home / ".config/mozilla/firefox",
                               home / "snap/firefox/common/.mozilla/firefox"}) {
    std::error_code error;
    std::vector<std::string> profiles;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
      std::error_code kindError;
      if (it->is_directory(kindError) && hasDatabase(it->path())) {
        profiles.push_back(it->path().string());
      }
    }
    std::sort(profiles.begin(), profiles.end());
    result.insert(result.end(), profiles.begin(), profiles.end());
  }
  return result;
}

NSSBrowserTrust::Run NSSBrowserTrust::run(const std::string& tool, const std::string& database,
                                          std::vector<std::string> args,
                                          const std::vector<std::uint8_t>& input) const {
  QStringList arguments{QStringLiteral("-d"), QString::fromStdString("sql:" + database)};
  for (const std::string& arg : args) arguments << QString::fromStdString(arg);
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
  process.setProcessEnvironment(environment);
  process.start(QString::fromStdString(tool), arguments);
  if (!process.waitForStarted(kToolTimeoutMs)) return {statusToolMissing, {}};
  if (!input.empty()) {
    process.write(reinterpret_cast<const char*>(input.data()), static_cast<qint64>(input.size()));
  }
  process.closeWriteChannel();
  if (!process.waitForFinished(kToolTimeoutMs)) {
    process.kill();
    process.waitForFinished(kToolTimeoutMs);
    return {statusToolFailed, {}};
  }
  if (process.exitStatus() != QProcess::NormalExit) return {statusToolFailed, {}};
  return {process.exitCode(), process.readAllStandardOutput().toStdString()};
}

std::vector<NSSBrowserTrust::Entry> NSSBrowserTrust::entries(const std::string& tool,
                                                             const std::string& database,
                                                             std::string_view nickname) const {
  // certutil -L -n prints one "Certificate:" block per certificate under the nickname (and fails
  // when there is none); each block holds its SHA-256 fingerprint on the line after
  // "Fingerprint (SHA-256):" and one line per SSL trust flag between "SSL Flags:" and
  // "Email Flags:".
  const Run listed = run(tool, database, {"-L", "-n", std::string(nickname)});
  std::vector<Entry> result;
  if (listed.status != 0) return result;
  enum class Section { none, fingerprint, ssl } section = Section::none;
  std::size_t start = 0;
  while (start < listed.output.size()) {
    std::size_t end = listed.output.find('\n', start);
    if (end == std::string::npos) end = listed.output.size();
    const std::string_view raw(listed.output.data() + start, end - start);
    start = end + 1;
    const std::string line = trim(raw);
    if (raw.starts_with("Certificate:")) {
      result.emplace_back();
      section = Section::none;
    } else if (result.empty()) {
      continue;
    } else if (line == "Fingerprint (SHA-256):") {
      section = Section::fingerprint;
    } else if (section == Section::fingerprint) {
      for (char c : line) {
        if (c != ':') result.back().sha256 += static_cast<char>(c >= 'A' && c <= 'F' ? c + 32 : c);
      }
      section = Section::none;
    } else if (line == "SSL Flags:") {
      section = Section::ssl;
    } else if (line == "Email Flags:" || line == "Object Signing Flags:") {
      section = Section::none;
    } else if (section == Section::ssl) {
      result.back().ssl += sslLetter(line);
    }
  }
  return result;
}

void NSSBrowserTrust::removeAll(const std::string& tool, const std::string& database,
                                std::string_view nickname) const {
  // certutil deletes one certificate per call; a database holds a handful at most.
  for (int i = 0; i < 64; ++i) {
    if (run(tool, database, {"-D", "-n", std::string(nickname)}).status != 0) break;
  }
}

std::int32_t NSSBrowserTrust::ensureChromiumDatabase(const std::string& tool) const {
  const std::filesystem::path pki = std::filesystem::path(home_) / ".pki";
  const std::filesystem::path database = pki / "nssdb";
  if (hasDatabase(database)) return 0;
  for (const auto& directory : {pki, database}) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return run(tool, database.string(), {"-N", "--empty-password"}).status;
}

std::int32_t NSSBrowserTrust::trust(std::span<const std::uint8_t> der, std::string_view nickname) {
  const std::string tool = certutil();
  if (tool.empty()) {
    qWarning("%s", missingToolText());
    return statusToolMissing;
  }
  if (const std::int32_t status = ensureChromiumDatabase(tool); status != 0) return status;
  const std::string fingerprint = Crypto::hex(Crypto::sha256(der));
  const std::vector<std::uint8_t> certificate(der.begin(), der.end());

  // Read every database before changing any: a locked or broken one fails here.
  struct Prior {
    std::string database;
    std::optional<std::string> ssl;  // this certificate's SSL flags, when it was there
  };
  std::vector<Prior> priors;
  for (const std::string& database : databases()) {
    if (const Run listed = run(tool, database, {"-L"}); listed.status != 0) return listed.status;
    Prior prior{database, std::nullopt};
    for (const Entry& entry : entries(tool, database, nickname)) {
      if (entry.sha256 == fingerprint) prior.ssl = entry.ssl;
    }
    priors.push_back(std::move(prior));
  }

  // Older certificates under the same nickname are our own leftovers: each database ends up
  // with this certificate alone under it, so that NSS's lookups by nickname find it.
  for (std::size_t i = 0; i < priors.size(); ++i) {
    removeAll(tool, priors[i].database, nickname);
    const Run added = run(tool, priors[i].database,
                          {"-A", "-n", std::string(nickname), "-t", trustFlags}, certificate);
    if (added.status == 0) continue;
    for (std::size_t j = 0; j <= i; ++j) {
      removeAll(tool, priors[j].database, nickname);
      if (priors[j].ssl) {
        run(tool, priors[j].database,
            {"-A", "-n", std::string(nickname), "-t", *priors[j].ssl + ",,"}, certificate);
      }
    }
    return added.status;
  }
  return 0;
}

bool NSSBrowserTrust::isTrusted(std::span<const std::uint8_t> der, std::string_view nickname) {
  const std::string tool = certutil();
  if (tool.empty()) return false;
  {
    struct X509Deleter {
      void operator()(X509* x) const { X509_free(x); }
    };
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, X509Deleter> parsed(
        d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    const bool forLoopback = parsed && X509_check_ip_asc(parsed.get(), "127.0.0.1", 0) == 1;
    ERR_clear_error();
    if (!forLoopback) return false;
  }
  const std::vector<std::string> all = databases();
  if (!hasDatabase(std::filesystem::path(home_) / ".pki/nssdb")) return false;
  const std::string fingerprint = Crypto::hex(Crypto::sha256(der));
  for (const std::string& database : all) {
    bool found = false;
    for (const Entry& entry : entries(tool, database, nickname)) {
      if (entry.sha256 == fingerprint && entry.ssl.find('C') != std::string::npos &&
          entry.ssl.find('P') != std::string::npos) {
        found = true;
      }
    }
    if (!found) return false;
    // NSS's own verdict: valid now, signature, key usage and trust for an SSL server.
    if (run(tool, database, {"-V", "-n", std::string(nickname), "-u", "V"}).status != 0) {
      return false;
    }
  }
  return true;
}

void NSSBrowserTrust::remove(std::span<const std::string_view> nicknames) {
  const std::string tool = certutil();
  if (tool.empty()) return;
  for (const std::string& database : databases()) {
    for (std::string_view nickname : nicknames) removeAll(tool, database, nickname);
  }
}

}  // namespace BridgeKit

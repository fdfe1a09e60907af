#include "BridgeKit/LocalCertificate.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <QByteArray>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <cerrno>
#include <ctime>

#include "Base/Require.h"
#include "BridgeKit/DER.h"
#include "BridgeKit/linux/FileKeyStore.h"
#include "BridgeKit/linux/NSSBrowserTrust.h"

namespace BridgeKit {

namespace {

using Bytes = LocalCertificate::Bytes;

Bytes concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes sequence(std::initializer_list<std::span<const std::uint8_t>> parts) {
  return DER::tlv(0x30, concat(parts));
}

Bytes octetString(std::span<const std::uint8_t> content) { return DER::tlv(0x04, content); }

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes derOf(const QSslCertificate& certificate) {
  const QByteArray der = certificate.toDer();
  return Bytes(der.begin(), der.end());
}

std::string describe(const LocalCertificate::Failure::Case& value) {
  struct Visitor {
    std::string operator()(const LocalCertificate::Failure::Key& c) const {
      return "key(" + c.text + ")";
    }
    std::string operator()(const LocalCertificate::Failure::Keychain& c) const {
      return "keychain(" + std::to_string(c.status) + ")";
    }
    std::string operator()(const LocalCertificate::Failure::Identity& c) const {
      return "identity(" + std::to_string(c.status) + ")";
    }
    std::string operator()(const LocalCertificate::Failure::Trust& c) const {
      return "trust(" + std::to_string(c.status) + ")";
    }
    std::string operator()(const LocalCertificate::Failure::Certificate&) const {
      return "certificate";
    }
  };
  return std::visit(Visitor{}, value);
}

}  // namespace

LocalCertificate::Failure::Failure(Case value)
    : value_(std::move(value)), description_(describe(value_)) {}

std::ostream& operator<<(std::ostream& os, const LocalCertificate::Failure& failure) {
  return os << failure.description();
}

LocalCertificate::Stores LocalCertificate::Stores::standard() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  return {std::make_shared<FileKeyStore>((data + QStringLiteral("/keystore")).toStdString()),
          std::make_shared<NSSBrowserTrust>(QDir::homePath().toStdString())};
}

Bytes LocalCertificate::der(std::span<const std::uint8_t> publicKey,
                            std::span<const std::uint8_t> serial, Moment notBefore, Moment notAfter,
                            const std::function<Bytes(const Bytes& tbsCertificate)>& sign) {
  const Bytes algorithm = sequence({DER::oid("1.2.840.10045.4.3.2")});
  const Bytes name =
      sequence({DER::tlv(0x31, sequence({DER::oid("2.5.4.3"), DER::utf8(commonName)}))});
  const Bytes keyInfo =
      sequence({sequence({DER::oid("1.2.840.10045.2.1"), DER::oid("1.2.840.10045.3.1.7")}),
                DER::bitString(publicKey)});
  const Bytes keyIdentifier = Crypto::sha1(publicKey);

  const Bytes critical = {0x01, 0x01, 0xFF};
  const Bytes digitalSignature = {0x07, 0x80};
  const Bytes loopback = {0x7F, 0x00, 0x00, 0x01};
  const Bytes extensions = DER::tlv(
      0xA3,
      sequence({
          sequence({DER::oid("2.5.29.19"), critical, octetString(sequence({}))}),
          sequence(
              {DER::oid("2.5.29.15"), critical, octetString(DER::tlv(0x03, digitalSignature))}),
          sequence({DER::oid("2.5.29.37"), octetString(sequence({DER::oid("1.3.6.1.5.5.7.3.1")}))}),
          sequence({DER::oid("2.5.29.17"),
                    octetString(sequence(
                        {DER::tlv(0x87, loopback), DER::tlv(0x82, bytesOf("localhost"))}))}),
          sequence({DER::oid("2.5.29.14"), octetString(octetString(keyIdentifier))}),
      }));

  const Bytes version = DER::tlv(0xA0, DER::integer(Bytes{0x02}));
  const Bytes tbs =
      sequence({version, DER::integer(serial), algorithm, name,
                sequence({DER::time(notBefore), DER::time(notAfter)}), name, keyInfo, extensions});
  const Bytes signature = sign(tbs);
  return sequence({tbs, algorithm, DER::bitString(signature)});
}

Bytes LocalCertificate::randomSerial() {
  Bytes serial = Crypto::randomBytes(16);
  serial[0] = static_cast<std::uint8_t>((serial[0] & 0x7F) | 0x01);
  return serial;
}

LocalCertificate::Made LocalCertificate::make(bool permanent, Moment now, const Stores& stores) {
  std::string error;
  std::optional<Crypto::ECKey> key = Crypto::ECKey::generate(&error);
  if (!key) throw Failure::key(error);
  if (permanent) {
    const std::optional<std::string> pem = key->pkcs8PEM(&error);
    if (!pem) throw Failure::key(error);
    const std::int32_t status = stores.keyStore->addKey(*pem, commonName, bytesOf(keyTag));
    if (status != 0) {
      throw Failure::key("storing the private key failed: " +
                         std::error_code(status, std::generic_category()).message());
    }
  }
  const std::optional<Bytes> publicKey = key->publicPoint(&error);
  if (!publicKey) throw Failure::key(error);

  const Bytes bytes =
      der(*publicKey, randomSerial(), now - validFromBefore, now + validFor, [&](const Bytes& tbs) {
        std::string signError;
        std::optional<Bytes> signature = key->sign(tbs, &signError);
        if (!signature) throw Failure::key(signError);
        return std::move(*signature);
      });
  const QSslCertificate certificate(
      QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())),
      QSsl::Der);
  if (certificate.isNull()) throw Failure::certificate();
  return {std::move(*key), certificate};
}

LocalCertificate::Identity LocalCertificate::identity(const QSslCertificate& certificate,
                                                      KeyStore& keyStore) {
  const Bytes certificateDER = derOf(certificate);
  bool unusable = false;
  for (const std::string& pem : keyStore.privateKeys()) {
    const std::optional<Crypto::ECKey> key = Crypto::ECKey::fromPEM(pem);
    if (!key || !key->matchesCertificate(certificateDER)) continue;
    QSslKey privateKey(QByteArray::fromStdString(pem), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (!privateKey.isNull()) return {certificate, privateKey};
    unusable = true;
  }
  throw Failure::identity(unusable ? EBADMSG : ENOENT);
}

LocalCertificate::Pair LocalCertificate::create(Moment now, const Stores& stores) {
  remove(stores);
  Made made = make(true, now, stores);
  const std::int32_t status = stores.keyStore->addCertificate(derOf(made.certificate), commonName);
  if (status != 0) throw Failure::keychain(status);
  Identity pairIdentity = identity(made.certificate, *stores.keyStore);
  QSettings settings;
  settings.setValue(fingerprintSetting, QString::fromStdString(fingerprint(made.certificate)));
  settings.sync();
  return {std::move(pairIdentity), made.certificate};
}

std::optional<LocalCertificate::Pair> LocalCertificate::current(Moment now, const Stores& stores) {
  const QString recorded = QSettings().value(fingerprintSetting).toString();
  if (recorded.isEmpty()) return std::nullopt;
  const std::optional<std::vector<Bytes>> stored = stores.keyStore->certificates(commonName);
  if (!stored) return std::nullopt;
  for (const Bytes& der : *stored) {
    const QSslCertificate certificate(
        QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size())),
        QSsl::Der);
    if (certificate.isNull() || QString::fromStdString(fingerprint(certificate)) != recorded) {
      continue;
    }
    const std::optional<Moment> end = notAfter(certificate);
    if (!end || *end <= now) continue;
    try {
      return Pair{identity(certificate, *stores.keyStore), certificate};
    } catch (const Failure&) {
      continue;
    }
  }
  return std::nullopt;
}

std::optional<LocalCertificate::Moment> LocalCertificate::notAfter(
    const QSslCertificate& certificate) {
  struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
  };
  const Bytes der = derOf(certificate);
  const unsigned char* cursor = der.data();
  std::unique_ptr<X509, X509Deleter> parsed(
      d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  std::tm utc{};
  const bool read = parsed && ASN1_TIME_to_tm(X509_get0_notAfter(parsed.get()), &utc) == 1;
  ERR_clear_error();
  if (!read) return std::nullopt;
  using namespace std::chrono;
  const year_month_day date{year{utc.tm_year + 1900}, month{static_cast<unsigned>(utc.tm_mon + 1)},
                            day{static_cast<unsigned>(utc.tm_mday)}};
  if (!date.ok()) return std::nullopt;
  return sys_days{date} + hours{utc.tm_hour} + minutes{utc.tm_min} + seconds{utc.tm_sec};
}

bool LocalCertificate::needsRenewal(const QSslCertificate& certificate, Moment now) {
  const std::optional<Moment> end = notAfter(certificate);
  return !end || *end - now <= renewBefore;
}

std::string LocalCertificate::fingerprint(const QSslCertificate& certificate) {
  return Crypto::hex(Crypto::sha256(derOf(certificate)));
}

bool LocalCertificate::isTrusted(const QSslCertificate& certificate, const Stores& stores) {
  if (certificate.isNull()) return false;
  return stores.browserTrust->isTrusted(derOf(certificate), commonName);
}

void LocalCertificate::trust(const QSslCertificate& certificate, const Stores& stores) {
  if (certificate.isNull()) throw Failure::trust(EINVAL);
  const std::int32_t status = stores.browserTrust->trust(derOf(certificate), commonName);
  if (status != 0) throw Failure::trust(status);
}

void LocalCertificate::remove(const Stores& stores) {
  std::vector<std::string_view> names{commonName};
  names.insert(names.end(), legacyCommonNames.begin(), legacyCommonNames.end());
  for (std::string_view name : names) stores.keyStore->removeCertificates(name);
  stores.browserTrust->remove(names);
  stores.keyStore->removeKeys(bytesOf(keyTag));
  QSettings settings;
  settings.remove(fingerprintSetting);
  settings.sync();
}

}  // namespace BridgeKit

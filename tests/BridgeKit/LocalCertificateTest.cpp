#include "BridgeKit/LocalCertificate.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <thread>

#include "BridgeKit/DER.h"
#include "BridgeKit/linux/FileKeyStore.h"
#include "BridgeKit/linux/NSSBrowserTrust.h"
#include "CertificateFixture.h"

namespace BridgeKit {
namespace {

using Bytes = LocalCertificate::Bytes;
using Moment = LocalCertificate::Moment;
using namespace std::chrono;
using testing::TempHome;

const Moment kNow = sys_days{year{2026} / 3 / 14} + hours{15} + minutes{9} + seconds{26};

Bytes point() {
  Bytes p{0x04};
  for (int i = 1; i <= 64; ++i) p.push_back(static_cast<std::uint8_t>(i));
  return p;
}

Bytes hexBytes(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 3) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes derOf(const QSslCertificate& certificate) {
  const QByteArray der = certificate.toDer();
  return Bytes(der.begin(), der.end());
}

QSslCertificate certificateOf(const Bytes& der) {
  return QSslCertificate(
      QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size())),
      QSsl::Der);
}

TEST(LocalCertificateDERTest, FixedPartsAroundTheKeyAndTheSignature) {
  const Bytes serial = hexBytes("3f 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f");
  const Bytes signature = hexBytes("30 06 02 01 01 02 01 02");
  Bytes tbs;
  const Bytes der = LocalCertificate::der(point(), serial, kNow - hours{1}, kNow + days{397},
                                          [&](const Bytes& given) {
                                            tbs = given;
                                            return signature;
                                          });
  Bytes keyIdentifier(SHA_DIGEST_LENGTH);
  const Bytes p = point();
  SHA1(p.data(), p.size(), keyIdentifier.data());

  const Bytes algorithm = hexBytes("30 0a 06 08 2a 86 48 ce 3d 04 03 02");
  const Bytes name =
      hexBytes("30 28 31 26 30 24 06 03 55 04 03 0c 1d") +
      Bytes(LocalCertificate::commonName.begin(), LocalCertificate::commonName.end());
  const Bytes keyInfo =
      hexBytes("30 59 30 13 06 07 2a 86 48 ce 3d 02 01 06 08 2a 86 48 ce 3d 03 01 07 03 42 00") +
      point();
  const Bytes extensions = hexBytes(
                               "a3 70 30 6e "
                               "30 0c 06 03 55 1d 13 01 01 ff 04 02 30 00 "
                               "30 0e 06 03 55 1d 0f 01 01 ff 04 04 03 02 07 80 "
                               "30 13 06 03 55 1d 25 04 0c 30 0a 06 08 2b 06 01 05 05 07 03 01 "
                               "30 1a 06 03 55 1d 11 04 13 30 11 87 04 7f 00 00 01 82 09 ") +
                           Bytes{'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't'} +
                           hexBytes("30 1d 06 03 55 1d 0e 04 16 04 14 ") + keyIdentifier;
  const Bytes validity = hexBytes("30 1e 17 0d") +
                         Bytes{'2', '6', '0', '3', '1', '4', '1', '4', '0', '9', '2', '6', 'Z'} +
                         hexBytes("17 0d ") +
                         Bytes{'2', '7', '0', '4', '1', '5', '1', '5', '0', '9', '2', '6', 'Z'};
  const Bytes expectedTBS = hexBytes("30 82 01 64 a0 03 02 01 02 02 10 ") + serial + algorithm +
                            name + validity + name + keyInfo + extensions;
  ASSERT_EQ(extensions.size(), 114u);
  EXPECT_EQ(tbs, expectedTBS);
  EXPECT_EQ(der, hexBytes("30 82 01 7f ") + tbs + algorithm + hexBytes("03 09 00 ") + signature);
}

TEST(LocalCertificateDERTest, SigningFailureReachesTheCallerUnchanged) {
  struct Refused {
    int code;
  };
  try {
    LocalCertificate::der(point(), LocalCertificate::randomSerial(), kNow, kNow + days{1},
                          [](const Bytes&) -> Bytes { throw Refused{42}; });
    FAIL() << "no failure";
  } catch (const Refused& refused) {
    EXPECT_EQ(refused.code, 42);
  }
}

TEST(LocalCertificateDERTest, SerialsArePositiveOddAndSixteenBytes) {
  std::vector<Bytes> seen;
  for (int i = 0; i < 200; ++i) {
    const Bytes serial = LocalCertificate::randomSerial();
    ASSERT_EQ(serial.size(), 16u);
    EXPECT_EQ(serial[0] & 0x81, 0x01) << int(serial[0]);
    EXPECT_EQ(DER::integer(serial).size(), 18u);
    seen.push_back(serial);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
}

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};

TEST(LocalCertificateMakeTest, OpenSSLReadsTheCertificateAsSpecifiedAndItsSignatureVerifies) {
  TempHome home;
  LocalCertificate::Made made = LocalCertificate::make(false, kNow);
  const Bytes der = derOf(made.certificate);
  const unsigned char* cursor = der.data();
  std::unique_ptr<X509, X509Deleter> x(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  ASSERT_TRUE(x);

  EXPECT_EQ(X509_get_version(x.get()), X509_VERSION_3);
  EXPECT_EQ(X509_get_signature_nid(x.get()), NID_ecdsa_with_SHA256);
  EXPECT_EQ(X509_verify(x.get(), X509_get0_pubkey(x.get())), 1);

  std::string error;
  const Bytes publicKey = *made.key.publicPoint(&error);
  EXPECT_TRUE(made.key.matchesCertificate(der));
  EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(x.get())), 256);

  const ASN1_INTEGER* serial = X509_get0_serialNumber(x.get());
  EXPECT_EQ(serial->length, 16);
  EXPECT_EQ(serial->data[0] & 0x81, 0x01);

  int dayDiff = 0, secondDiff = 0;
  ASSERT_EQ(ASN1_TIME_diff(&dayDiff, &secondDiff, X509_get0_notBefore(x.get()),
                           X509_get0_notAfter(x.get())),
            1);
  EXPECT_EQ(dayDiff * 86400 + secondDiff, 34'300'800 + 3600);
  EXPECT_EQ(LocalCertificate::notAfter(made.certificate), kNow + seconds{34'300'800});

  // Extensions: order, criticality and content.
  ASSERT_EQ(X509_get_ext_count(x.get()), 5);
  const int nids[] = {NID_basic_constraints, NID_key_usage, NID_ext_key_usage, NID_subject_alt_name,
                      NID_subject_key_identifier};
  const int critical[] = {1, 1, 0, 0, 0};
  for (int i = 0; i < 5; ++i) {
    X509_EXTENSION* extension = X509_get_ext(x.get(), i);
    EXPECT_EQ(OBJ_obj2nid(X509_EXTENSION_get_object(extension)), nids[i]) << i;
    EXPECT_EQ(X509_EXTENSION_get_critical(extension), critical[i]) << i;
  }
  EXPECT_EQ(X509_get_extension_flags(x.get()) & EXFLAG_CA, 0u);
  EXPECT_EQ(X509_get_key_usage(x.get()), static_cast<std::uint32_t>(KU_DIGITAL_SIGNATURE));
  EXPECT_EQ(X509_get_extended_key_usage(x.get()), static_cast<std::uint32_t>(XKU_SSL_SERVER));
  EXPECT_EQ(X509_check_ip_asc(x.get(), "127.0.0.1", 0), 1);
  EXPECT_EQ(X509_check_host(x.get(), "localhost", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_host(x.get(), "example.com", 0, 0, nullptr), 0);

  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(x.get(), NID_subject_alt_name, nullptr, nullptr));
  ASSERT_NE(names, nullptr);
  ASSERT_EQ(sk_GENERAL_NAME_num(names), 2);
  EXPECT_EQ(sk_GENERAL_NAME_value(names, 0)->type, GEN_IPADD);
  EXPECT_EQ(sk_GENERAL_NAME_value(names, 1)->type, GEN_DNS);
  GENERAL_NAMES_free(names);

  const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(x.get());
  ASSERT_NE(keyId, nullptr);
  Bytes expectedId(SHA_DIGEST_LENGTH);
  SHA1(publicKey.data(), publicKey.size(), expectedId.data());
  EXPECT_EQ(Bytes(keyId->data, keyId->data + keyId->length), expectedId);

  // Without `permanent` nothing is stored.
  EXPECT_FALSE(std::filesystem::exists(home.keyStoreDirectory()));
}

TEST(LocalCertificateTest, FailuresPrintAsCaseAndValue) {
  using F = LocalCertificate::Failure;
  EXPECT_EQ(F::key("no entropy").description(), "key(no entropy)");
  EXPECT_EQ(F::keychain(28).description(), "keychain(28)");
  EXPECT_EQ(F::identity(-50).description(), "identity(-50)");
  EXPECT_EQ(F::trust(255).description(), "trust(255)");
  EXPECT_EQ(F::certificate().description(), "certificate");
  EXPECT_EQ(F::trust(1), F::trust(1));
  EXPECT_NE(F::trust(1), F::identity(1));
}

// ---- The key store ----------------------------------------------------------------------------

int modeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

std::vector<std::string> filesUnder(const std::string& root) {
  std::vector<std::string> result;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    result.push_back(it->path().string());
  }
  std::sort(result.begin(), result.end());
  return result;
}

TEST(LocalCertificateStoreTest, CreateKeepsTheKeyPrivateAndCurrentFindsIt) {
  TempHome home;
  const LocalCertificate::Pair created = LocalCertificate::create(kNow);
  const std::string fingerprint = LocalCertificate::fingerprint(created.certificate);
  EXPECT_THAT(fingerprint, ::testing::MatchesRegex("[0-9a-f]{64}"));
  EXPECT_EQ(created.identity.certificate, created.certificate);
  EXPECT_FALSE(created.identity.privateKey.isNull());
  EXPECT_EQ(created.identity.privateKey.algorithm(), QSsl::Ec);
  EXPECT_EQ(QSettings().value("certificateSHA256").toString().toStdString(), fingerprint);

  // Key store: directory 0700, every file 0600; nothing else of the key anywhere.
  EXPECT_EQ(modeOf(home.keyStoreDirectory()), 0700);
  int keys = 0;
  for (const std::string& file : filesUnder(home.path())) {
    if (std::filesystem::is_directory(file)) continue;
    QFile f(QString::fromStdString(file));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const bool holdsKey = f.readAll().contains("PRIVATE KEY");
    if (holdsKey) ++keys;
    if (file.starts_with(home.keyStoreDirectory())) {
      EXPECT_EQ(modeOf(file), 0600) << file;
    } else {
      EXPECT_FALSE(holdsKey) << file;
    }
  }
  EXPECT_EQ(keys, 1);

  const auto current = LocalCertificate::current(kNow);
  ASSERT_TRUE(current);
  EXPECT_EQ(current->certificate, created.certificate);
  EXPECT_EQ(current->identity.privateKey, created.identity.privateKey);

  // A second create replaces everything: one key, one certificate, a new fingerprint.
  const LocalCertificate::Pair again = LocalCertificate::create(kNow);
  EXPECT_NE(LocalCertificate::fingerprint(again.certificate), fingerprint);
  FileKeyStore store(home.keyStoreDirectory());
  EXPECT_EQ(store.privateKeys().size(), 1u);
  EXPECT_EQ(store.certificates(LocalCertificate::commonName)->size(), 1u);
  EXPECT_EQ(LocalCertificate::current(kNow)->certificate, again.certificate);
}

TEST(LocalCertificateStoreTest, CurrentAndRenewalAtTheirBoundaries) {
  TempHome home;
  const QSslCertificate certificate = LocalCertificate::create(kNow).certificate;
  const Moment end = *LocalCertificate::notAfter(certificate);
  EXPECT_EQ(end, kNow + seconds{34'300'800});
  struct Case {
    Moment now;
    bool current;
    bool renew;
  } cases[] = {
      {kNow, true, false},
      {end - seconds{2'592'001}, true, false},
      {end - seconds{2'592'000}, true, true},
      {end - seconds{1}, true, true},
      {end - milliseconds{1}, true, true},
      {end, false, true},
      {end + days{1}, false, true},
  };
  for (const Case& c : cases) {
    const auto left = duration_cast<seconds>(end - c.now).count();
    EXPECT_EQ(LocalCertificate::current(c.now).has_value(), c.current) << left << " s left";
    EXPECT_EQ(LocalCertificate::needsRenewal(certificate, c.now), c.renew) << left << " s left";
  }
  // An unreadable end of validity is due for renewal.
  EXPECT_TRUE(LocalCertificate::needsRenewal(QSslCertificate(), kNow));
  EXPECT_FALSE(LocalCertificate::notAfter(QSslCertificate()));
}

TEST(LocalCertificateStoreTest, CurrentNeedsTheRecordedFingerprintAndTheKey) {
  TempHome home;
  FileKeyStore store(home.keyStoreDirectory());
  const Bytes before = derOf(LocalCertificate::make(true, kNow).certificate);
  const LocalCertificate::Pair created = LocalCertificate::create(kNow);
  // Others under the same label: one with its key stored, one without.
  const Bytes other = derOf(LocalCertificate::make(true, kNow).certificate);
  const Bytes keyless = derOf(LocalCertificate::make(false, kNow).certificate);
  ASSERT_EQ(store.addCertificate(before, LocalCertificate::commonName), 0);
  ASSERT_EQ(store.addCertificate(other, LocalCertificate::commonName), 0);
  ASSERT_EQ(store.addCertificate(keyless, LocalCertificate::commonName), 0);
  ASSERT_EQ(store.certificates(LocalCertificate::commonName)->size(), 4u);

  EXPECT_EQ(LocalCertificate::current(kNow)->certificate, created.certificate);

  QSettings().setValue("certificateSHA256",
                       QString::fromStdString(LocalCertificate::fingerprint(certificateOf(other))));
  EXPECT_EQ(LocalCertificate::current(kNow)->certificate, certificateOf(other));

  QSettings().setValue(
      "certificateSHA256",
      QString::fromStdString(LocalCertificate::fingerprint(certificateOf(keyless))));
  EXPECT_FALSE(LocalCertificate::current(kNow)) << "no private key for it";

  QSettings().setValue(
      "certificateSHA256",
      QString::fromStdString(LocalCertificate::fingerprint(created.certificate)).toUpper());
  EXPECT_FALSE(LocalCertificate::current(kNow)) << "the fingerprint must match exactly";

  QSettings().remove("certificateSHA256");
  EXPECT_FALSE(LocalCertificate::current(kNow));

  LocalCertificate::remove();
  EXPECT_TRUE(store.certificates(LocalCertificate::commonName)->empty());
  EXPECT_TRUE(store.privateKeys().empty());
}

TEST(LocalCertificateStoreTest, RemoveClearsLegacyItemsLeftoversAndIsHarmlessOnAnEmptyMachine) {
  TempHome home;
  LocalCertificate::remove();
  EXPECT_TRUE(filesUnder(home.path()).empty()) << "remove() created something";

  FileKeyStore store(home.keyStoreDirectory());
  const Bytes legacy = derOf(LocalCertificate::make(false, kNow).certificate);
  const Bytes foreign = derOf(LocalCertificate::make(false, kNow).certificate);
  ASSERT_EQ(store.addCertificate(legacy, LocalCertificate::legacyCommonNames[0]), 0);
  ASSERT_EQ(store.addCertificate(foreign, "someone else"), 0);
  LocalCertificate::create(kNow);
  // What an interrupted store leaves: a temporary file and data without attributes.
  for (const char* name : {"/0123.pem.tmp", "/4567.der"}) {
    QFile leftover(QString::fromStdString(home.keyStoreDirectory() + name));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
  }

  LocalCertificate::remove();
  EXPECT_FALSE(QSettings().contains("certificateSHA256"));
  EXPECT_TRUE(store.certificates(LocalCertificate::commonName)->empty());
  EXPECT_TRUE(store.certificates(LocalCertificate::legacyCommonNames[0])->empty());
  EXPECT_EQ(store.certificates("someone else")->size(), 1u);
  EXPECT_TRUE(store.privateKeys().empty());
  // Only the foreign certificate's two files remain.
  EXPECT_EQ(filesUnder(home.keyStoreDirectory()).size(), 2u)
      << ::testing::PrintToString(filesUnder(home.keyStoreDirectory()));
}

TEST(LocalCertificateStoreTest, KeyStoreRefusesADirectoryOthersCanEnter) {
  TempHome home;
  LocalCertificate::create(kNow);
  ASSERT_EQ(chmod(home.keyStoreDirectory().c_str(), 0755), 0);
  FileKeyStore store(home.keyStoreDirectory());
  EXPECT_FALSE(store.certificates(LocalCertificate::commonName));
  EXPECT_TRUE(store.privateKeys().empty());
  EXPECT_FALSE(LocalCertificate::current(kNow));
  // Storing makes it private again.
  LocalCertificate::create(kNow);
  EXPECT_EQ(modeOf(home.keyStoreDirectory()), 0700);
  EXPECT_TRUE(LocalCertificate::current(kNow));
}

// A key store that fails where told to, over a real one.
class FailingKeyStore : public KeyStore {
 public:
  explicit FailingKeyStore(std::string directory) : real_(std::move(directory)) {}
  std::int32_t keyStatus = 0;
  std::int32_t certificateStatus = 0;
  bool losesKeys = false;

  std::int32_t addKey(const std::string& pem, std::string_view label,
                      std::span<const std::uint8_t> tag) override {
    return keyStatus != 0 ? keyStatus : real_.addKey(pem, label, tag);
  }
  std::int32_t addCertificate(std::span<const std::uint8_t> der, std::string_view label) override {
    return certificateStatus != 0 ? certificateStatus : real_.addCertificate(der, label);
  }
  std::optional<std::vector<Bytes>> certificates(std::string_view label) override {
    return real_.certificates(label);
  }
  std::vector<std::string> privateKeys() override {
    return losesKeys ? std::vector<std::string>{} : real_.privateKeys();
  }
  void removeCertificates(std::string_view label) override { real_.removeCertificates(label); }
  void removeKeys(std::span<const std::uint8_t> tag) override { real_.removeKeys(tag); }

 private:
  FileKeyStore real_;
};

TEST(LocalCertificateStoreTest, FailedCreateReportsTheStepAndLeavesNothingRemoveKeeps) {
  using F = LocalCertificate::Failure;
  struct Case {
    const char* name;
    std::int32_t keyStatus;
    std::int32_t certificateStatus;
    bool losesKeys;
    F::Case expected;
  } cases[] = {
      {"key", ENOSPC, 0, false, F::Key{"storing the private key failed: No space left on device"}},
      {"certificate", 0, EIO, false, F::Keychain{EIO}},
      {"identity", 0, 0, true, F::Identity{ENOENT}},
  };
  for (const Case& c : cases) {
    TempHome home;
    auto failing = std::make_shared<FailingKeyStore>(home.keyStoreDirectory());
    failing->keyStatus = c.keyStatus;
    failing->certificateStatus = c.certificateStatus;
    failing->losesKeys = c.losesKeys;
    LocalCertificate::Stores stores = LocalCertificate::Stores::standard();
    stores.keyStore = failing;
    try {
      LocalCertificate::create(kNow, stores);
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const F& failure) {
      EXPECT_EQ(failure.value(), c.expected) << c.name << ": " << failure;
    }
    EXPECT_FALSE(QSettings().contains("certificateSHA256")) << c.name;
    EXPECT_FALSE(LocalCertificate::current(kNow)) << c.name;
    // The next create() starts from a clean store.
    LocalCertificate::create(kNow);
    FileKeyStore store(home.keyStoreDirectory());
    EXPECT_EQ(store.privateKeys().size(), 1u) << c.name;
    LocalCertificate::remove();
    EXPECT_TRUE(filesUnder(home.keyStoreDirectory()).empty()) << c.name;
  }
}

// ---- Browser trust in real NSS databases -------------------------------------------------------

const std::string kNickname(LocalCertificate::commonName);

struct Profiles {
  std::vector<std::string> databases;  // every database trust() must fill, ~/.pki/nssdb first
};

Profiles makeProfiles(const TempHome& home) {
  Profiles p;
  p.databases.push_back(home.path() + "/.pki/nssdb");
  for (const char* relative :
       {"/.mozilla/firefox/abcd1234.default-release", "/.mozilla/firefox/efgh5678.work",
        "/.config/mozilla/firefox/ijkl9012.default", "/snap/firefox/common/.mozilla/firefox/x.y",
        "/snap/chromium/current/.pki/nssdb"}) {
    testing::makeNSSDatabase(home.path() + relative);
    p.databases.push_back(home.path() + relative);
  }
  // A profile folder without a database is not a database.
  std::filesystem::create_directories(home.path() + "/.mozilla/firefox/empty.profile");
  return p;
}

TEST(LocalCertificateTrustTest, TrustFillsEveryBrowserDatabaseAndRemoveEmptiesThem) {
  TempHome home;
  const Profiles profiles = makeProfiles(home);
  const QSslCertificate certificate = LocalCertificate::create(kNow).certificate;
  EXPECT_FALSE(LocalCertificate::isTrusted(certificate));
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/.pki")) << "only trust() creates it";

  // trust() is a plain blocking call that the application runs off the main thread.
  std::exception_ptr failure;
  std::thread([&] {
    try {
      LocalCertificate::trust(certificate);
    } catch (...) {
      failure = std::current_exception();
    }
  }).join();
  if (failure) std::rethrow_exception(failure);
  EXPECT_EQ(modeOf(home.path() + "/.pki/nssdb"), 0700);
  std::vector<std::string> sorted = profiles.databases;
  std::vector<std::string> found = NSSBrowserTrust(home.path()).databases();
  std::sort(sorted.begin(), sorted.end());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, sorted);
  for (const std::string& database : profiles.databases) {
    EXPECT_EQ(testing::nssTrustFlags(database, kNickname), "CP,,") << database;
    EXPECT_EQ(testing::nssCertificates(database, kNickname), certificate.toDer()) << database;
  }
  EXPECT_TRUE(LocalCertificate::isTrusted(certificate));
  LocalCertificate::trust(certificate);  // trusting again changes nothing
  EXPECT_TRUE(LocalCertificate::isTrusted(certificate));

  // A certificate that is not the trusted one is not trusted.
  EXPECT_FALSE(LocalCertificate::isTrusted(LocalCertificate::make(false, kNow).certificate));

  // A new browser profile without the certificate makes it untrusted until trusted again.
  testing::makeNSSDatabase(home.path() + "/.mozilla/firefox/new.profile");
  EXPECT_FALSE(LocalCertificate::isTrusted(certificate));
  LocalCertificate::trust(certificate);
  EXPECT_TRUE(LocalCertificate::isTrusted(certificate));

  LocalCertificate::remove();
  for (const std::string& database : profiles.databases) {
    EXPECT_EQ(testing::nssTrustFlags(database, kNickname), "") << database;
  }
  EXPECT_FALSE(LocalCertificate::isTrusted(certificate));
}

TEST(LocalCertificateTrustTest, TrustNeedsBothFlagsInEveryDatabase) {
  TempHome home;
  const Profiles profiles = makeProfiles(home);
  const QSslCertificate certificate = LocalCertificate::create(kNow).certificate;
  LocalCertificate::trust(certificate);
  const std::string firefox = profiles.databases[1];
  for (const char* flags : {"C,,", "P,,", ",,", "c,,"}) {
    const auto changed = testing::runTool(
        QStringLiteral("certutil"), {"-M", "-d", QString::fromStdString("sql:" + firefox), "-n",
                                     QString::fromStdString(kNickname), "-t", flags});
    ASSERT_EQ(changed.exitCode, 0) << changed.output;
    EXPECT_FALSE(LocalCertificate::isTrusted(certificate)) << flags;
  }
  LocalCertificate::trust(certificate);
  EXPECT_TRUE(LocalCertificate::isTrusted(certificate));
}

TEST(LocalCertificateTrustTest, UnreadableDatabaseFailsTrustAndChangesNoOther) {
  struct Case {
    const char* name;
    bool lock;  // otherwise the database file is overwritten with garbage
  } cases[] = {{"broken", false}, {"locked", true}};
  for (const Case& c : cases) {
    TempHome home;
    const Profiles profiles = makeProfiles(home);
    const QSslCertificate certificate = LocalCertificate::create(kNow).certificate;
    const std::string bad = home.path() + "/.config/mozilla/firefox/zz.bad";
    testing::makeNSSDatabase(bad);
    int lockFd = -1;
    if (c.lock) {
      // What SQLite takes for a write: the pending byte and the shared range of the file.
      lockFd = open((bad + "/cert9.db").c_str(), O_RDWR);
      ASSERT_GE(lockFd, 0);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = 0x40000000;
      lock.l_len = 512;
      ASSERT_EQ(fcntl(lockFd, F_SETLK, &lock), 0);
    } else {
      QFile broken(QString::fromStdString(bad + "/cert9.db"));
      ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
      broken.write("this is not an SQLite database");
    }
    try {
      LocalCertificate::trust(certificate);
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const LocalCertificate::Failure& failure) {
      ASSERT_NE(failure.as<LocalCertificate::Failure::Trust>(), nullptr) << failure;
      EXPECT_NE(failure.as<LocalCertificate::Failure::Trust>()->status, 0) << c.name;
    }
    if (lockFd >= 0) close(lockFd);
    for (const std::string& database : profiles.databases) {
      EXPECT_EQ(testing::nssTrustFlags(database, kNickname), "") << c.name << " " << database;
    }
    EXPECT_FALSE(LocalCertificate::isTrusted(certificate)) << c.name;
  }
}

TEST(LocalCertificateTrustTest, RemoveDeletesCurrentAndLegacyNicknamesEverywhere) {
  TempHome home;
  const Profiles profiles = makeProfiles(home);
  testing::makeNSSDatabase(home.path() + "/.pki/nssdb");
  const QByteArray old = LocalCertificate::make(false, kNow).certificate.toDer();
  const QByteArray older = LocalCertificate::make(false, kNow).certificate.toDer();
  const QByteArray foreign = LocalCertificate::make(false, kNow).certificate.toDer();
  for (const std::string& database : profiles.databases) {
    const QString d = QString::fromStdString("sql:" + database);
    for (const auto& [nickname, der] :
         {std::pair{kNickname, old}, std::pair{kNickname, older},
          std::pair{std::string(LocalCertificate::legacyCommonNames[0]), old},
          std::pair{std::string("Another Program"), foreign}}) {
      const auto added = testing::runTool(
          QStringLiteral("certutil"),
          {"-A", "-d", d, "-n", QString::fromStdString(nickname), "-t", "CP,,"}, der);
      ASSERT_EQ(added.exitCode, 0) << added.output;
    }
  }
  LocalCertificate::remove();
  for (const std::string& database : profiles.databases) {
    EXPECT_EQ(testing::nssCertificates(database, kNickname), QByteArray()) << database;
    EXPECT_EQ(
        testing::nssCertificates(database, std::string(LocalCertificate::legacyCommonNames[0])),
        QByteArray())
        << database;
    EXPECT_EQ(testing::nssTrustFlags(database, "Another Program"), "CP,,") << database;
  }
}

TEST(LocalCertificateTrustTest, MissingCertutilIsReportedAndNothingIsTrusted) {
  TempHome home;
  const QSslCertificate certificate = LocalCertificate::create(kNow).certificate;
  LocalCertificate::Stores stores = LocalCertificate::Stores::standard();
  stores.browserTrust = std::make_shared<NSSBrowserTrust>(home.path(), "/nonexistent/certutil");
  try {
    LocalCertificate::trust(certificate, stores);
    ADD_FAILURE() << "no failure";
  } catch (const LocalCertificate::Failure& failure) {
    EXPECT_EQ(failure, LocalCertificate::Failure::trust(NSSBrowserTrust::statusToolMissing));
  }
  EXPECT_FALSE(LocalCertificate::isTrusted(certificate, stores));
  EXPECT_THAT(NSSBrowserTrust::missingToolText(), ::testing::HasSubstr("libnss3-tools"));
  LocalCertificate::remove(stores);
}

}  // namespace
}  // namespace BridgeKit

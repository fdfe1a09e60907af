#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <QSslCertificate>
#include <QSslKey>

#include "BridgeKit/BrowserTrust.h"
#include "BridgeKit/Crypto.h"
#include "BridgeKit/KeyStore.h"

namespace BridgeKit {

// The bridge's own TLS certificate for 127.0.0.1 and "localhost": a self-signed X.509 v3
// certificate for an ECDSA P-256 key, valid 397 days. It lives in the user's key store (private
// key and certificate), in the browsers' trust stores, and as its SHA-256 fingerprint under
// "certificateSHA256" in the application's settings (QSettings). Nothing is held in memory.
//
// Every operation is a plain synchronous function that may run on any thread; trust() and
// isTrusted() block on the trust stores' I/O and belong off the main thread. Moments are taken
// as parameters so that callers and tests choose the clock.
class LocalCertificate {
 public:
  using Bytes = std::vector<std::uint8_t>;
  using Moment = std::chrono::system_clock::time_point;

  // Issuer and subject common name; label of the stored key and certificate; nickname in the
  // browsers' trust stores.
  static constexpr std::string_view commonName = "Kelm Vodod Idizor (127.0.0.1)";
  // Names earlier versions stored certificates under; only remove() uses them.
  static constexpr std::array<std::string_view, 1> legacyCommonNames = {
      "kelm Vodod Idizor (127.0.0.1)"};
  // Application tag of the stored private key.
  static constexpr std::string_view keyTag = "kelm.vododidizor.tls";
  // A certificate with this much time or less left is due for renewal.
  static constexpr std::chrono::seconds renewBefore{2'592'000};
  // The validity window around the moment of creation.
  static constexpr std::chrono::seconds validFromBefore{3600};
  static constexpr std::chrono::seconds validFor{34'300'800};
  // The settings key of the fingerprint.
  static constexpr const char* fingerprintSetting = "certificateSHA256";

  // The failures of make, create and trust. Values compare case by case and payload by payload;
  // description() is the default text form: the case name, then its value in parentheses when
  // the case carries one ("trust(255)").
  class Failure : public std::exception {
   public:
    struct Key {
      std::string text;
      bool operator==(const Key&) const = default;
    };
    struct Keychain {
      std::int32_t status;
      bool operator==(const Keychain&) const = default;
    };
    struct Identity {
      std::int32_t status;
      bool operator==(const Identity&) const = default;
    };
    struct Trust {
      std::int32_t status;
      bool operator==(const Trust&) const = default;
    };
    struct Certificate {
      bool operator==(const Certificate&) const = default;
    };
    using Case = std::variant<Key, Keychain, Identity, Trust, Certificate>;

    static Failure key(std::string text) { return Failure(Key{std::move(text)}); }
    static Failure keychain(std::int32_t status) { return Failure(Keychain{status}); }
    static Failure identity(std::int32_t status) { return Failure(Identity{status}); }
    static Failure trust(std::int32_t status) { return Failure(Trust{status}); }
    static Failure certificate() { return Failure(Certificate{}); }

    explicit Failure(Case value);
    const Case& value() const { return value_; }
    template <class C>
    const C* as() const {
      return std::get_if<C>(&value_);
    }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }
    bool operator==(const Failure& other) const { return value_ == other.value_; }

   private:
    Case value_;
    std::string description_;
  };

  // What a TLS listener serves: the certificate with its private key, as QSslServer takes them
  // (QSslConfiguration::setLocalCertificate, setPrivateKey).
  struct Identity {
    QSslCertificate certificate;
    QSslKey privateKey;
  };

  // An identity with the certificate it was formed from (the same certificate).
  struct Pair {
    Identity identity;
    QSslCertificate certificate;
  };

  // A new key pair with its certificate.
  struct Made {
    Crypto::ECKey key;
    QSslCertificate certificate;
  };

  // The stores the certificate lives in. standard() gives this user's own: the key store
  // directory "keystore" under the application data location, and the browsers' NSS databases
  // under the home directory, both read from the environment at the time of the call.
  struct Stores {
    std::shared_ptr<KeyStore> keyStore;
    std::shared_ptr<BrowserTrust> browserTrust;
    static Stores standard();
  };

  // The complete certificate in DER for the 65-byte uncompressed P-256 point `publicKey` and the
  // 16 `serial` bytes, signed by `sign` (given the TBSCertificate, returning an ECDSA-with-SHA-256
  // signature in DER). A failure thrown by `sign` reaches the caller unchanged.
  static Bytes der(std::span<const std::uint8_t> publicKey, std::span<const std::uint8_t> serial,
                   Moment notBefore, Moment notAfter,
                   const std::function<Bytes(const Bytes& tbsCertificate)>& sign);
  // 16 random bytes, the first one in 0x01...0x7F and odd.
  static Bytes randomSerial();

  // A new P-256 key and a certificate for it made at `now`. With `permanent` the private key is
  // stored in the key store (label commonName, tag keyTag). Throws Failure key or certificate.
  static Made make(bool permanent, Moment now, const Stores& stores = Stores::standard());
  // Removes everything stored, then makes, stores and records a new certificate. Does not trust
  // it. Throws Failure key, keychain, identity or certificate; a failed create leaves at most a
  // stored private key, which the next create() or remove() deletes.
  static Pair create(Moment now = std::chrono::system_clock::now(),
                     const Stores& stores = Stores::standard());
  // The recorded certificate when it is stored under commonName, its validity ends after `now`,
  // and its private key is stored; nullopt otherwise (including every failure to read).
  static std::optional<Pair> current(Moment now, const Stores& stores = Stores::standard());
  // The end of the certificate's validity; nullopt when it cannot be read.
  static std::optional<Moment> notAfter(const QSslCertificate& certificate);
  // True when at most renewBefore is left at `now`, or the end of validity cannot be read.
  static bool needsRenewal(const QSslCertificate& certificate, Moment now);
  // Lower-case hexadecimal SHA-256 of the certificate's DER bytes: 64 characters.
  static std::string fingerprint(const QSslCertificate& certificate);
  // Whether the browsers of this machine accept the certificate for a TLS server at 127.0.0.1.
  static bool isTrusted(const QSslCertificate& certificate,
                        const Stores& stores = Stores::standard());
  // Makes the browsers accept the certificate; throws Failure trust(status), leaving the trust
  // stores as they were. Blocks on I/O.
  static void trust(const QSslCertificate& certificate, const Stores& stores = Stores::standard());
  // Deletes every stored key, certificate, trust entry (current and legacy names) and the
  // recorded fingerprint. Never fails.
  static void remove(const Stores& stores = Stores::standard());
  // The identity of a certificate whose private key is in the key store; Failure identity(status)
  // when there is none.
  static Identity identity(const QSslCertificate& certificate, KeyStore& keyStore);
};

std::ostream& operator<<(std::ostream& os, const LocalCertificate::Failure& failure);

}  // namespace BridgeKit

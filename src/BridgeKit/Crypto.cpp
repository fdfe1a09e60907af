#include "BridgeKit/Crypto.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include "Base/Require.h"

namespace BridgeKit::Crypto {

namespace {

Bytes digest(const EVP_MD* md, std::span<const std::uint8_t> bytes) {
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  KELM_REQUIRE(EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, md, nullptr) == 1);
  out.resize(length);
  return out;
}

struct BIODeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MDContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};

}  // namespace

Bytes sha1(std::span<const std::uint8_t> bytes) { return digest(EVP_sha1(), bytes); }
Bytes sha256(std::span<const std::uint8_t> bytes) { return digest(EVP_sha256(), bytes); }

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  KELM_REQUIRE(RAND_bytes(out.data(), static_cast<int>(count)) == 1);
  return out;
}

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

std::string openSSLError(const char* what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  std::string text = what;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  return text;
}

std::optional<ECKey> ECKey::generate(std::string* error) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (key == nullptr) {
    *error = openSSLError("P-256 key generation failed");
    return std::nullopt;
  }
  return ECKey(key);
}

std::optional<ECKey> ECKey::fromPEM(const std::string& pem) {
  std::unique_ptr<BIO, BIODeleter> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return std::nullopt;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  ERR_clear_error();
  if (key == nullptr) return std::nullopt;
  ECKey result(key);
  char group[32] = {};
  if (!EVP_PKEY_is_a(key, "EC") ||
      EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                     nullptr) != 1 ||
      std::string_view(group) != "prime256v1") {
    return std::nullopt;
  }
  return result;
}

ECKey::ECKey(ECKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }

ECKey& ECKey::operator=(ECKey&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(key_);
    key_ = other.key_;
    other.key_ = nullptr;
  }
  return *this;
}

ECKey::~ECKey() { EVP_PKEY_free(key_); }

std::optional<Bytes> ECKey::publicPoint(std::string* error) const {
  Bytes point(65);
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key_, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                      point.size(), &length) != 1 ||
      length != 65 || point[0] != 0x04) {
    *error = openSSLError("exporting the public key failed");
    return std::nullopt;
  }
  return point;
}

std::optional<Bytes> ECKey::sign(std::span<const std::uint8_t> message, std::string* error) const {
  std::unique_ptr<EVP_MD_CTX, MDContextDeleter> context(EVP_MD_CTX_new());
  std::size_t length = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, message.data(), message.size()) != 1) {
    *error = openSSLError("signing failed");
    return std::nullopt;
  }
  Bytes signature(length);
  if (EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) !=
      1) {
    *error = openSSLError("signing failed");
    return std::nullopt;
  }
  signature.resize(length);
  return signature;
}

std::optional<std::string> ECKey::pkcs8PEM(std::string* error) const {
  std::unique_ptr<BIO, BIODeleter> bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key_, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    *error = openSSLError("writing the private key failed");
    return std::nullopt;
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

bool ECKey::matchesCertificate(std::span<const std::uint8_t> certificateDER) const {
  const unsigned char* cursor = certificateDER.data();
  std::unique_ptr<X509, X509Deleter> certificate(
      d2i_X509(nullptr, &cursor, static_cast<long>(certificateDER.size())));
  ERR_clear_error();
  if (!certificate) return false;
  const EVP_PKEY* publicKey = X509_get0_pubkey(certificate.get());
  const bool same = publicKey != nullptr && EVP_PKEY_eq(key_, publicKey) == 1;
  ERR_clear_error();
  return same;
}

}  // namespace BridgeKit::Crypto

// Relay secrets (see secrets.h).
#include "devcloud/secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace devcloud {
namespace {

std::string Hex(const unsigned char* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xf];
  }
  return text;
}

}  // namespace

std::string RandomKey() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    return std::string();
  return Hex(bytes, sizeof bytes);
}

// The serial is part of what is signed, so an answer for one device never
// serves another that shares its secret.
std::string AgentProof(const std::string& secret, const std::string& sn,
                       const std::string& challenge) {
  const std::string message = sn + " " + challenge;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &size) == nullptr)
    return std::string();
  return Hex(digest, size);
}

bool SameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace devcloud

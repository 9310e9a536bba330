// MD5 and Base64 through libcrypto's one-shot calls, which keep their state on
// the caller's stack.
#include "platform/digest.h"

#include <openssl/evp.h>

namespace platform {

static void HexDigits(const unsigned char* bytes, size_t n, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  out[2 * n] = '\0';
}

int Md5Hex(const void* data, size_t len, char out[kMd5HexSize]) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  out[0] = '\0';
  if (data == nullptr && len > 0)
    return -1;
  // MD5 may be missing, e.g. under a FIPS-only provider.
  if (EVP_Digest(data, len, digest, &n, EVP_md5(), nullptr) != 1 || n != 16)
    return -1;
  HexDigits(digest, n, out);
  return 0;
}

int Base64Encode(const void* data, size_t len, char* out, size_t cap) {
  if (cap > 0)
    out[0] = '\0';
  if (len > kBase64MaxInput || Base64TextLength(len) >= cap || (data == nullptr && len > 0))
    return -1;
  // Writes the text and its NUL; the length fits an int because len is bounded.
  return EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out),
                         static_cast<const unsigned char*>(data), static_cast<int>(len));
}

}  // namespace platform

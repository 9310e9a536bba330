// MD5 and Base64 through libcrypto's one-shot calls, which keep their state on
// the caller's stack.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/common/digest_system.h"
#include "platform/digest.h"

namespace platform {

int Md5Digest(const void* data, size_t len, unsigned char digest[kMd5Size]) {
  unsigned char full[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  // MD5 may be missing, e.g. under a FIPS-only provider.
  if (EVP_Digest(data, len, full, &n, EVP_md5(), nullptr) != 1 || n != kMd5Size)
    return -1;
  for (unsigned int i = 0; i < n; ++i)
    digest[i] = full[i];
  return 0;
}

int Base64EncodeChecked(const void* data, size_t len, char* out) {
  // Writes the text and its NUL; the length fits an int because len is bounded.
  return EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out),
                         static_cast<const unsigned char*>(data), static_cast<int>(len));
}

int RandomBytes(void* out, size_t len) {
  if (len > 0x7fffffff)
    return -1;
  return RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(len)) == 1 ? 0 : -1;
}

}  // namespace platform

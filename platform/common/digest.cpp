// The checks and formatting both systems' digests share; the digests themselves
// come from the system's library (digest_system.h).
#include "platform/common/digest_system.h"
#include "platform/digest.h"

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
  out[0] = '\0';
  if (data == nullptr && len > 0)
    return -1;
  unsigned char digest[kMd5Size];
  if (Md5Digest(data, len, digest) != 0)
    return -1;
  HexDigits(digest, kMd5Size, out);
  return 0;
}

int Base64Encode(const void* data, size_t len, char* out, size_t cap) {
  if (cap > 0)
    out[0] = '\0';
  if (len > kBase64MaxInput || Base64TextLength(len) >= cap || (data == nullptr && len > 0))
    return -1;
  int written = Base64EncodeChecked(data, len, out);
  if (written < 0)
    out[0] = '\0';
  return written;
}

}  // namespace platform

// MD5 through CNG (bcrypt) and Base64 through CryptBinaryToStringA (crypt32).
// Both take 32-bit lengths, so input goes in pieces. Base64 pieces are a
// multiple of three bytes long, so their texts join without padding between
// them, and each is encoded into a local buffer with room to spare: some
// Windows versions ask for room for a line break even when told to write none.
#include <cstring>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include "platform/common/digest_system.h"
#include "platform/digest.h"

namespace platform {

static const ULONG kHashPiece = 1u << 30;
static const DWORD kBase64Piece = 768;

// MD5 of len bytes at data into digest with a hash object of alg.
static int HashInPieces(BCRYPT_ALG_HANDLE alg, const void* data, size_t len,
                        unsigned char digest[kMd5Size]) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0)))
    return -1;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  NTSTATUS status = 0;
  while (len > 0 && BCRYPT_SUCCESS(status)) {
    ULONG piece = len > kHashPiece ? kHashPiece : static_cast<ULONG>(len);
    status = BCryptHashData(hash, const_cast<PUCHAR>(p), piece, 0);
    p += piece;
    len -= piece;
  }
  if (BCRYPT_SUCCESS(status))
    status = BCryptFinishHash(hash, digest, kMd5Size, 0);
  BCryptDestroyHash(hash);
  return BCRYPT_SUCCESS(status) ? 0 : -1;
}

int Md5Digest(const void* data, size_t len, unsigned char digest[kMd5Size]) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr, 0)))
    return -1;
  int result = HashInPieces(alg, data, len, digest);
  BCryptCloseAlgorithmProvider(alg, 0);
  return result;
}

// Writes exactly Base64TextLength(n) characters for n bytes at in, no NUL.
static int EncodePiece(const BYTE* in, DWORD n, char* out) {
  char text[kBase64Piece / 3 * 4 + 16];
  DWORD count = sizeof text;
  if (!CryptBinaryToStringA(in, n, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text, &count) ||
      count != Base64TextLength(n)) {
    return -1;
  }
  memcpy(out, text, count);
  return 0;
}

int Base64EncodeChecked(const void* data, size_t len, char* out) {
  const BYTE* p = static_cast<const BYTE*>(data);
  size_t written = 0;
  while (len > 0) {
    DWORD piece = len > kBase64Piece ? kBase64Piece : static_cast<DWORD>(len);
    if (EncodePiece(p, piece, out + written) != 0)
      return -1;
    written += Base64TextLength(piece);
    p += piece;
    len -= piece;
  }
  out[written] = '\0';
  return static_cast<int>(written);
}

int RandomBytes(void* out, size_t len) {
  if (len > 0xffffffff)
    return -1;
  return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(len),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))
             ? 0
             : -1;
}

}  // namespace platform

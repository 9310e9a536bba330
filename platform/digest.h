// MD5 as hex text and Base64, for check codes and the texts the gateway sends.
// Every call keeps its own state, so threads call them side by side. Results go
// into the caller's fixed buffers and are never cut short: a result that does
// not fit is a failure and leaves the empty text.
#pragma once
#include <cstddef>

namespace platform {

constexpr size_t kMd5HexSize = 33;  // 32 lower-case hex digits and a NUL

// MD5 of len bytes at data into out as lower-case hex with a NUL. Returns 0, or
// -1 when the digest cannot be made (out then holds the empty text).
int Md5Hex(const void* data, size_t len, char out[kMd5HexSize]);

// The largest input Base64Encode takes: its text length must fit an int.
constexpr size_t kBase64MaxInput = 0x7fffffff / 4 * 3;

// Characters of the Base64 text of len bytes, without the NUL.
constexpr size_t Base64TextLength(size_t len) {
  return (len + 2) / 3 * 4;
}

// Standard Base64 (the RFC 4648 alphabet, "=" padding, no line breaks) of len
// bytes at data into out, which holds cap bytes, with a NUL. Returns the text's
// length; -1 when the text and its NUL do not fit in cap, len is over
// kBase64MaxInput or the encoder fails (out then holds the empty text, unless
// cap is 0).
int Base64Encode(const void* data, size_t len, char* out, size_t cap);

// Fills len bytes at out from the system's cryptographic generator, for keys.
// Returns 0, or -1 when the generator fails (out is then not to be used).
int RandomBytes(void* out, size_t len);

}  // namespace platform

// What each system's digest code provides to the shared front in
// common/digest.cpp, which checks the arguments and formats the results.
#pragma once
#include <cstddef>

namespace platform {

constexpr size_t kMd5Size = 16;

// The MD5 of len bytes at data (data may be null only when len is 0); 0 or -1.
int Md5Digest(const void* data, size_t len, unsigned char digest[kMd5Size]);
// Writes the Base64 text of len bytes at data and a NUL into out, which the
// caller has checked holds Base64TextLength(len) + 1 bytes. The text's length,
// or -1 when the system's encoder fails.
int Base64EncodeChecked(const void* data, size_t len, char* out);

}  // namespace platform

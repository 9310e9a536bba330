// MakeCheckCode and the check-code rule. The digest is one EVP call with its
// own state, so workers compute codes side by side without a lock.
#include "gateway/check/check_code.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

#include "gateway/log/write_log.h"

const char CheckCodeSalt[] = "5e1c0a9f3b7d24e86c0f1a2b3d4e5f60";

int MakeCheckCode(const char* input, char* out) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  out[0] = '\0';
  if (EVP_Digest(input, std::strlen(input), digest, &length, EVP_md5(), nullptr) != 1 ||
      length != 16) {
    return -1;
  }
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
  }
  return 0;
}

int CheckRequestCode(const RequestParams& params) {
  char input[kCheckCodeInputCapacity];
  char code[kCheckCodeCapacity];
  std::memset(input, 0, sizeof input);
  std::memset(code, 0, sizeof code);
  std::snprintf(input, sizeof input, "%s%s", params.t, CheckCodeSalt);
  // A digest that could not be made refuses the request: an empty code must
  // never match an empty k.
  if (MakeCheckCode(input, code) != 0 || std::strcmp(code, params.k) != 0) {
    WriteLog(6, "check code is error!!!!!!!!!!!!!!!!!!!!!!!!");
    return -1;
  }
  return 0;
}

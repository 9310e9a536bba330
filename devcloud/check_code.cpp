// Check code (see check_code.h).
#include "devcloud/check_code.h"

#include <openssl/evp.h>

#include <cstdio>

namespace devcloud {

const char* const kGatewaySalt = "5e1c0a9f3b7d24e86c0f1a2b3d4e5f60";

std::string CheckCode(const std::string& t) {
  std::string input = t + kGatewaySalt;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_md5(), nullptr) != 1) {
    return std::string();
  }
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace devcloud

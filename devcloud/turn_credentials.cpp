// TURN credentials (see turn_credentials.h).
#include "devcloud/turn_credentials.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <fstream>

#include "platform/digest.h"
#include "zelmo/wire.h"

namespace devcloud {

namespace {

std::string HmacSha1Base64(const std::string& key, const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &length);
  char out[platform::Base64TextLength(EVP_MAX_MD_SIZE) + 1];
  if (platform::Base64Encode(digest, length, out, sizeof out) < 0)
    return std::string();
  return out;
}

}  // namespace

nlohmann::json TurnCredentials(const TurnService& turn, const std::string& name, int64_t now) {
  std::string username = std::to_string(now + kTurnCredentialSeconds) + ":" + name;
  return {{"address", turn.address},
          {"username", username},
          {"password", HmacSha1Base64(turn.secret, username)},
          {"ttl", kTurnCredentialSeconds}};
}

int ReadTurnSecret(const std::string& path, std::string& secret, std::string& why) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    why = "cannot read " + path;
    return -1;
  }
  char line[258] = {};
  file.getline(line, sizeof line);
  std::string text(line);
  if (!text.empty() && text.back() == '\r')
    text.pop_back();
  if (text.size() < 16 || text.size() > 256 || !zelmo::IsWord(text)) {
    why = path + " must hold 16 to 256 printable bytes without blanks on its first line";
    return -1;
  }
  secret = text;
  return 0;
}

}  // namespace devcloud

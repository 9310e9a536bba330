// Short-lived credentials for the STUN and TURN server that runs beside the
// cloud, in that server's shared-secret scheme: the user name is the time the
// credential ends (Unix seconds), a colon and a name; the password is the
// Base64 of the HMAC-SHA1 of the user name keyed with the secret that the
// server and the cloud share. The server keeps no list of users, and a
// credential that leaks stops working by itself.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace devcloud {

struct TurnService {
  std::string address;  // "host:port" as the peers reach it; empty: none
  std::string secret;
};

constexpr int64_t kTurnCredentialSeconds = 600;

// {"address", "username", "password", "ttl"} for name, valid from now (Unix
// seconds) for kTurnCredentialSeconds.
nlohmann::json TurnCredentials(const TurnService& turn, const std::string& name, int64_t now);

// The secret from the first line of the file at path: 16 to 256 printable bytes
// without blanks. 0, or -1 with why.
int ReadTurnSecret(const std::string& path, std::string& secret, std::string& why);

}  // namespace devcloud

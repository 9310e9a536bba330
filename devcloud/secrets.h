// The relay's secrets: tokens, stream keys, stream ids, link secrets and
// challenges all come from the system's cryptographic generator, and a device
// agent proves its per-device secret without sending it: the relay sends a
// fresh challenge and the agent answers with an HMAC-SHA256 of it under the
// secret.
#pragma once
#include <string>

namespace devcloud {

// 128 random bits as 32 lower-case hex digits; empty when the generator fails
// (callers then refuse what they were about to hand out).
std::string RandomKey();

// The agent's answer to a challenge: 64 lower-case hex digits.
std::string AgentProof(const std::string& secret, const std::string& sn,
                       const std::string& challenge);

// Compares in a time that does not depend on where the texts differ.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace devcloud

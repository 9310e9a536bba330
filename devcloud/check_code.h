// The check code that the gateway verifies on every request: lower-case hex MD5
// of the time stamp text followed by the gateway's built-in salt. The portal
// knows the salt, as the maker's portal does, to build working links.
#pragma once
#include <string>

namespace devcloud {

extern const char* const kGatewaySalt;

std::string CheckCode(const std::string& t);

}  // namespace devcloud

// The cloud's address as the host program hands it over: a base URL
// ("http://host[:port]", maybe with a trailing slash) or a bare "host[:port]".
#pragma once
#include <cstdint>
#include <string>

namespace zelmo {

struct ServerAddress {
  std::string host;
  uint16_t port = 80;
};

// 0, or -1 for text that names no host or has a bad port or another scheme.
int ParseServerAddress(const char* text, ServerAddress& out);

}  // namespace zelmo

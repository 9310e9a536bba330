// Server address parsing (see server_address.h).
#include "zelmo/server_address.h"

#include <cstdlib>

#include "platform/text.h"

namespace zelmo {
namespace {

// Digits only, 1 to 65535.
int ParsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5)
    return -1;
  for (char c : text) {
    if (c < '0' || c > '9')
      return -1;
  }
  long long value = 0;
  if (!platform::ParseWholeDecimal(text.c_str(), 1, 65535, &value))
    return -1;
  port = static_cast<uint16_t>(value);
  return 0;
}

}  // namespace

int ParseServerAddress(const char* text, ServerAddress& out) {
  if (text == nullptr)
    return -1;
  std::string rest = text;
  const std::string scheme = "http://";
  if (rest.compare(0, scheme.size(), scheme) == 0) {
    rest.erase(0, scheme.size());
  } else if (rest.find("://") != std::string::npos) {
    return -1;
  }
  std::size_t slash = rest.find('/');
  if (slash != std::string::npos)
    rest.erase(slash);
  std::size_t colon = rest.find(':');
  out.port = 80;
  if (colon != std::string::npos) {
    if (ParsePort(rest.substr(colon + 1), out.port) != 0)
      return -1;
    rest.erase(colon);
  }
  if (rest.empty())
    return -1;
  out.host = rest;
  return 0;
}

}  // namespace zelmo

// The library's reading of the cloud address it is handed. The gateway passes a
// browser's "hi=" value through unchanged, so the text is anyone's. An accepted
// address must name a host taken from the text, without scheme, path or port
// left in it, and a port in 1 to 65535.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "zelmo/server_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  zelmo::ServerAddress address;
  int result = zelmo::ParseServerAddress(text.c_str(), address);
  FUZZ_CHECK(result == 0 || result == -1);
  if (result != 0)
    return 0;
  const std::string given = text.substr(0, text.find('\0'));
  FUZZ_CHECK(!address.host.empty());
  FUZZ_CHECK(address.host.find_first_of(":/") == std::string::npos);
  FUZZ_CHECK(given.find(address.host) != std::string::npos);
  FUZZ_CHECK(address.port != 0);
  FUZZ_CHECK(given.find("://") == std::string::npos || given.compare(0, 7, "http://") == 0);
  return 0;
}

// The gateway's service clock client against any answer a clock server could
// send: the input is the whole HTTP response, served on loopback, so libcurl's
// reading of it and the gateway's reading of the body are both under test. A
// 200 result must leave one word of at most 10 characters; any other result
// leaves the output untouched or cleared.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/loopback_answer.h"
#include "gateway/check/service_clock.h"

namespace {

char clock_url[64];

bool AllBytes(const char* text, size_t size, char value) {
  for (size_t i = 0; i < size; ++i) {
    if (text[i] != value)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  uint16_t port = fuzz::StartAnswerServer();
  FUZZ_CHECK(port != 0);
  std::snprintf(clock_url, sizeof clock_url, "http://127.0.0.1:%u/getime", port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SetAnswer(std::string(reinterpret_cast<const char*>(data), size));
  char out[kServiceTimeCapacity];
  std::memset(out, 0x5a, sizeof out);
  int result = GetServiceTime(clock_url, out);
  FUZZ_CHECK(result == 200 || result == -1);
  if (result == 200) {
    size_t length = strnlen(out, sizeof out);
    FUZZ_CHECK(length < sizeof out);
    FUZZ_CHECK(std::strcspn(out, " \t\n\v\f\r") == length);
  } else {
    FUZZ_CHECK(AllBytes(out, sizeof out, 0x5a) || AllBytes(out, sizeof out, 0));
  }
  return 0;
}

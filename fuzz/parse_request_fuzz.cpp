// ParseRequest on whatever a browser (or anyone on the network) sends in one
// receive: at most 2047 bytes and a NUL, as the worker hands them over. The
// buffer is sized to the input exactly, so any read or write past the text is
// caught. Beyond memory safety it checks what the caller relies on: every field
// ends inside its capacity, the icon request writes nothing, a plain 0 means
// every mandatory key was on the first line, and each value is text of that line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "gateway/check/query_parser.h"

namespace {

constexpr size_t kMaxReceive = 2047;

struct Field {
  const char* text;
  size_t capacity;
};

void CheckField(const Field& field, const std::string& first_line) {
  FUZZ_CHECK(std::memchr(field.text, '\0', field.capacity) != nullptr);
  if (field.text[0] != '\0')
    FUZZ_CHECK(first_line.find(field.text) != std::string::npos);
}

bool AllZero(const RequestParams& params) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&params);
  for (size_t i = 0; i < sizeof params; ++i) {
    if (bytes[i] != 0)
      return false;
  }
  return true;
}

// The first line as the parser sees it: leading line feeds skipped, up to the
// next line feed or the text's NUL.
std::string FirstLine(const char* text) {
  while (*text == '\n')
    ++text;
  return std::string(text, std::strcspn(text, "\n"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxReceive)
    size = kMaxReceive;
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  const std::string first_line = FirstLine(text.data());

  RequestParams params;
  std::memset(&params, 0, sizeof params);
  int result = ParseRequest(text.data(), &params);
  FUZZ_CHECK(result == 0 || result == -1 || result == -2);
  if (result == -2) {
    FUZZ_CHECK(AllZero(params));
    return 0;
  }
  const Field fields[] = {
      {params.t, sizeof params.t},
      {params.k, sizeof params.k},
      {params.UserName, sizeof params.UserName},
      {params.PassWd, sizeof params.PassWd},
      {params.DeviceSn, sizeof params.DeviceSn},
      {params.DeviceName, sizeof params.DeviceName},
      {params.StunIp, sizeof params.StunIp},
      {params.ServiceCenter, sizeof params.ServiceCenter},
      {params.HttpIP, sizeof params.HttpIP},
  };
  for (const Field& field : fields)
    CheckField(field, first_line);
  if (result == 0) {
    for (const char* key : {"t=", "k=", "u=", "c=", "ds=", "dn=", "si=", "sc="})
      FUZZ_CHECK(first_line.find(key) != std::string::npos);
  }
  return 0;
}

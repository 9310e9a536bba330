// MakeCheckCode and the check-code rule. Each digest keeps its own state, so
// workers compute codes side by side without a lock.
#include "gateway/check/check_code.h"

#include <cstdio>
#include <cstring>

#include "gateway/log/write_log.h"
#include "platform/digest.h"

const char CheckCodeSalt[] = "5e1c0a9f3b7d24e86c0f1a2b3d4e5f60";

int MakeCheckCode(const char* input, char* out) {
  return platform::Md5Hex(input, std::strlen(input), out);
}

int CheckRequestCode(const RequestParams& params) {
  char input[kCheckCodeInputCapacity];
  char code[kCheckCodeCapacity];
  std::memset(input, 0, sizeof input);
  std::memset(code, 0, sizeof code);
  std::snprintf(input, sizeof input, "%s%s", params.t, CheckCodeSalt);
  // A digest that could not be made refuses the request: an empty code must
  // never match an empty k.
  if (MakeCheckCode(input, code) != 0 || std::strcmp(code, params.k) != 0) {
    WriteLog(6, "check code is error!!!!!!!!!!!!!!!!!!!!!!!!");
    return -1;
  }
  return 0;
}

// ParseRequest: cuts the first line in place, then finds each key with a plain
// substring search and copies its value up to "&" or the end of the line. The
// first occurrence of a key text wins, wherever it stands ("c=" is also found
// inside "sc="). All state lives in the caller's buffers, so any number of
// workers may parse at once.
#include "gateway/check/query_parser.h"

#include <cstddef>
#include <cstring>

#include "gateway/log/log_escape.h"
#include "gateway/log/write_log.h"
#include "platform/net.h"
#include "platform/text.h"

namespace {

struct QueryKey {
  const char* key;
  size_t offset;     // of the field inside RequestParams
  size_t capacity;   // of the field, NUL included
  const char* name;  // of the field, as the log names it
  // A check code longer than 32 characters can never be right: rather than cut
  // it into one that might match, it is kept empty, which never matches.
  bool empty_when_too_long;
};

#define HG_FIELD(name) offsetof(RequestParams, name), sizeof(RequestParams::name), #name

// The mandatory keys, in the order they are checked.
const QueryKey kMandatoryKeys[] = {
    {"t=", HG_FIELD(t), false},         {"k=", HG_FIELD(k), true},
    {"u=", HG_FIELD(UserName), false},  {"c=", HG_FIELD(PassWd), false},
    {"ds=", HG_FIELD(DeviceSn), false}, {"dn=", HG_FIELD(DeviceName), false},
    {"si=", HG_FIELD(StunIp), false},   {"sc=", HG_FIELD(ServiceCenter), false},
};

#undef HG_FIELD

// Copies the value after the first occurrence of key, cut to capacity - 1 (or
// not copied at all when too long and cutting is not allowed). An empty value
// leaves the field untouched. Returns -1 when key is absent.
int CopyValue(const char* line, const char* key, char* field, size_t capacity,
              bool empty_when_too_long) {
  const char* found = std::strstr(line, key);
  if (found == nullptr)
    return -1;
  const char* value = found + std::strlen(key);
  size_t length = std::strcspn(value, "&");
  if (length == 0)
    return 0;
  if (length > capacity - 1) {
    if (empty_when_too_long)
      return 0;
    length = capacity - 1;
  }
  std::memcpy(field, value, length);
  field[length] = '\0';
  return 0;
}

}  // namespace

int ParseRequest(char* text, RequestParams* params) {
  char* line = platform::CutFirstLine(text);
  if (line == nullptr) {
    WriteLog(3, "strtok() error,error code:%d", platform::LastSocketError());
    return -1;
  }
  if (std::strstr(line, "favicon.ico") != nullptr) {
    WriteLog(3, "Get invalid parameter!");
    return -2;
  }
  char* base = reinterpret_cast<char*>(params);
  for (const QueryKey& key : kMandatoryKeys) {
    if (CopyValue(line, key.key, base + key.offset, key.capacity, key.empty_when_too_long) != 0) {
      char shown[kLogValueCapacity];
      WriteLog(3, "Get %s Error! String is %s", key.name, EscapeForLog(line, shown, sizeof shown));
      return -1;
    }
  }
  if (CopyValue(line, "hi=", params->HttpIP, sizeof params->HttpIP, false) != 0) {
    WriteLog(3, "No HttpIP!");
  }
  return 0;
}

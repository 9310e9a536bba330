// Each key is searched from the start of the line, so the order of the keys does
// not matter. A value runs to the next comma or the end of the line and is cut
// to 63 characters, so it never runs past its field.
#include "popup/notice_parser.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "popup/console.h"

namespace {

struct NoticeKey {
  const char* key;
  const char* pattern;  // reads the value after the key, at most 63 characters
  const char* missing;
  size_t offset;
};

const NoticeKey kNoticeKeys[] = {
    {"Info:", "Info:%63[^,]", "Get Info Error!\n", offsetof(NoticeFields, Info)},
    {"Devicename:", "Devicename:%63[^,]", "Get Devicename Error!\n",
     offsetof(NoticeFields, Devicename)},
    {"CountValue:", "CountValue:%63[^,]", "Get CountValue Error!\n",
     offsetof(NoticeFields, CountValue)},
    {"UrlIndex:", "UrlIndex:%63[^,]", "Get UrlIndex Error!\n", offsetof(NoticeFields, UrlIndex)},
};

// An empty value (the key right before a comma or the end) matches nothing and
// leaves the field as it was.
void ReadValue(const char* at, const NoticeKey& key, NoticeFields* fields) {
  char value[kNoticeFieldSize];
  std::memset(value, 0, sizeof value);
  if (std::sscanf(at, key.pattern, value) != 1)
    return;
  char* field = reinterpret_cast<char*>(fields) + key.offset;
  std::memcpy(field, value, sizeof value);
}

}  // namespace

int ParseNotice(const char* line, NoticeFields* fields) {
  for (const NoticeKey& key : kNoticeKeys) {
    const char* at = std::strstr(line, key.key);
    if (at == nullptr) {
      ConsolePrint("%s", key.missing);
      return -1;
    }
    ReadValue(at, key, fields);
  }
  return 0;
}

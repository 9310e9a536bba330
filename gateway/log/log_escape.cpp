// Escaped log values (see log_escape.h).
#include "gateway/log/log_escape.h"

const char* EscapeForLog(const char* text, char* out, int capacity) {
  static const char kHex[] = "0123456789abcdef";
  int n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool control = c < 0x20 || c == 0x7f;
    int width = control ? 4 : 1;
    if (n + width > capacity - 1)
      break;
    if (!control) {
      out[n++] = *p;
      continue;
    }
    out[n++] = '\\';
    out[n++] = 'x';
    out[n++] = kHex[c >> 4];
    out[n++] = kHex[c & 0xf];
  }
  out[n] = '\0';
  return out;
}

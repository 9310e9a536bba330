// WriteLog: formats one line on the caller's stack and hands it to the sink the
// tunnel library returns for its level. Callable from any thread at once.
#include "gateway/log/write_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "zelmo/zelmo_api.h"

namespace {

constexpr int kLineCapacity = 1024;
// Lines this long or longer are dropped whole, never cut short.
constexpr int kDropLength = 1022;

const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\')
      base = p + 1;
  }
  return base;
}

}  // namespace

void WriteLogAt(const char* file, int line, int level, const char* format, ...) {
  if (Zelmo_GetLogFunc(level) == nullptr)
    return;

  char text[kLineCapacity];
  std::memset(text, 0, sizeof text);
  int prefix = std::snprintf(text, sizeof text, "[%s:%d] ", BaseName(file), line);
  if (prefix < 0 || prefix >= kDropLength)
    return;

  va_list args;
  va_start(args, format);
  int message = std::vsnprintf(text + prefix, sizeof text - prefix, format, args);
  va_end(args);
  if (message < 0 || prefix + message >= kDropLength)
    return;

  int length = prefix + message;
  if (length == 0 || text[length - 1] != '\n') {
    text[length] = '\n';
    text[length + 1] = '\0';
  }

  ZelmoLogFunc sink = Zelmo_GetLogFunc(level);
  if (sink != nullptr)
    sink(level, text);
}

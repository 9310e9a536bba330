// The library's log sink (see log.h). Lines longer than the buffer are cut; the
// sink is read atomically because any library thread may log at any time.
#include "zelmo/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<ZelmoLogFunc> RegisteredSink{nullptr};
}  // namespace

extern "C" void Zelmo_SetLogFunc(ZelmoLogFunc sink) {
  RegisteredSink.store(sink);
}

extern "C" ZelmoLogFunc Zelmo_GetLogFunc(int) {
  return RegisteredSink.load();
}

namespace zelmo {

void Log(int level, const char* format, ...) {
  ZelmoLogFunc sink = Zelmo_GetLogFunc(level);
  if (sink == nullptr)
    return;
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0)
    return;
  if (n > static_cast<int>(sizeof line) - 2)
    n = static_cast<int>(sizeof line) - 2;
  line[n] = '\n';
  line[n + 1] = '\0';
  sink(level, line);
}

std::string LogSafe(std::string text) {
  if (text.size() > 200)
    text.resize(200);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
  return text;
}

}  // namespace zelmo

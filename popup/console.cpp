// Formats into a stack buffer large enough for any message of the notifier (the
// longest carries a received text of at most 255 bytes), then writes it whole.
#include "popup/console.h"

#include <cstdarg>
#include <cstdio>

namespace {

ConsoleSink g_sink = nullptr;

void Emit(FILE* stream, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  if (g_sink != nullptr) {
    g_sink(text);
    return;
  }
  std::fputs(text, stream);
  std::fflush(stream);
}

}  // namespace

void ConsolePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(stdout, format, args);
  va_end(args);
}

void ConsoleError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(stderr, format, args);
  va_end(args);
}

void SetConsoleSink(ConsoleSink sink) {
  g_sink = sink;
}

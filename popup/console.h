// Console output of the notifier. Every message is written and flushed at once,
// so a reader on a pipe sees each line when it happens, not when the process
// ends. Tests install a sink that collects the texts instead of printing them.
#pragma once

void ConsolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ConsoleError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Receives each formatted message (standard output and error alike); null
// restores the real streams. Set it before any thread prints.
using ConsoleSink = void (*)(const char* text);
void SetConsoleSink(ConsoleSink sink);

// The program file, folders, and page files read in text mode.
#pragma once
#include <cstddef>

namespace platform {

extern const char kPathSeparator;  // '\\' on Windows, '/' on POSIX

// Full path of the running program into buf (NUL-terminated). Returns its length,
// or 0 when it cannot be read or does not fit (buf then holds the empty text).
size_t ExeFilePath(char* buf, size_t cap);
// Folder of the running program, ending with kPathSeparator. Returns its length,
// or 0 on failure (no path, no separator, or too long for cap).
size_t ExeFolder(char* buf, size_t cap);
int MakeDir(const char* path);  // 0 created, -1 failed

// A file opened shared (others may read and write it), read-only, in text mode:
// CR LF reads as LF (also when the pair is split between two reads) and a byte
// 0x1A ends the file.
struct TextFile;
TextFile* TextFileOpen(const char* path);  // null when it cannot be opened
// Up to cap bytes; returns the count, 0 at the end, -1 on error.
int TextFileRead(TextFile* f, char* buf, int cap);
void TextFileClose(TextFile* f);

}  // namespace platform

// The program's own path, folders, and page files read in the C runtime's text
// mode, which turns CR LF into LF and stops at a 0x1A byte by itself. Paths
// that do not fit are failures, never cut short.
#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <new>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

namespace platform {

const char kPathSeparator = '\\';

size_t ExeFilePath(char* buf, size_t cap) {
  if (cap == 0)
    return 0;
  buf[0] = '\0';
  DWORD size = cap > MAXDWORD ? MAXDWORD : static_cast<DWORD>(cap);
  DWORD n = GetModuleFileNameA(nullptr, buf, size);
  // A path that fills the buffer was cut (and may be unterminated).
  if (n == 0 || n >= size) {
    buf[0] = '\0';
    return 0;
  }
  return n;
}

size_t ExeFolder(char* buf, size_t cap) {
  size_t n = ExeFilePath(buf, cap);
  const char* last = n > 0 ? strrchr(buf, kPathSeparator) : nullptr;
  if (last == nullptr) {
    if (cap > 0)
      buf[0] = '\0';
    return 0;
  }
  size_t len = static_cast<size_t>(last - buf) + 1;
  buf[len] = '\0';
  return len;
}

int MakeDir(const char* path) {
  return _mkdir(path) == 0 ? 0 : -1;
}

struct TextFile {
  int fd;
};

TextFile* TextFileOpen(const char* path) {
  int fd = -1;
  if (_sopen_s(&fd, path, _O_RDONLY | _O_TEXT, _SH_DENYNO, _S_IREAD) != 0)
    return nullptr;
  TextFile* f = new (std::nothrow) TextFile{fd};
  if (f == nullptr)
    _close(fd);
  return f;
}

int TextFileRead(TextFile* f, char* buf, int cap) {
  if (f == nullptr || buf == nullptr || cap <= 0)
    return -1;
  return _read(f->fd, buf, static_cast<unsigned>(cap));
}

void TextFileClose(TextFile* f) {
  if (f == nullptr)
    return;
  _close(f->fd);
  delete f;
}

}  // namespace platform

// The program's own path, folders, and the text-mode reader for page files.
// Windows' C runtime reads page files in text mode; this reader gives POSIX the
// same bytes: CR LF becomes LF, a lone CR stays, and a 0x1A byte ends the file.
// A CR at the end of one underlying read is held back until the next read shows
// whether an LF follows. Paths that do not fit are failures, never cut short.
#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

const char kPathSeparator = '/';

size_t ExeFilePath(char* buf, size_t cap) {
  if (cap == 0)
    return 0;
  buf[0] = '\0';
  ssize_t n = readlink("/proc/self/exe", buf, cap);
  // readlink does not terminate; a result that fills cap may have been cut.
  if (n <= 0 || static_cast<size_t>(n) >= cap) {
    buf[0] = '\0';
    return 0;
  }
  buf[n] = '\0';
  return static_cast<size_t>(n);
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
  return mkdir(path, 0777) == 0 ? 0 : -1;
}

struct TextFile {
  int fd;
  bool ended;       // a 0x1A was seen or the file is exhausted
  bool pending_cr;  // a CR ended the previous underlying read
  size_t start;     // next undelivered byte in raw
  size_t count;     // bytes in raw
  char raw[4096];
};

TextFile* TextFileOpen(const char* path) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return nullptr;
  TextFile* f = new (std::nothrow) TextFile();
  if (f == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  f->fd = fd;
  return f;
}

// Refills raw from the file; the count read, 0 at the end, -1 on error.
static int Refill(TextFile* f) {
  ssize_t n;
  do {
    n = read(f->fd, f->raw, sizeof f->raw);
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    return -1;
  f->start = 0;
  f->count = static_cast<size_t>(n);
  if (n == 0)
    f->ended = true;
  return static_cast<int>(n);
}

// Moves translated bytes from raw to out until either runs dry or 0x1A shows.
static int Translate(TextFile* f, char* out, int cap) {
  int n = 0;
  while (n < cap && f->start < f->count) {
    char c = f->raw[f->start];
    if (c == '\x1a') {
      f->ended = true;
      f->start = f->count;
      break;
    }
    f->start++;
    if (c == '\r' && f->start == f->count) {
      f->pending_cr = true;  // decided by the next read
      break;
    }
    if (c == '\r' && f->raw[f->start] == '\n')
      continue;  // the LF is delivered next
    out[n++] = c;
  }
  return n;
}

int TextFileRead(TextFile* f, char* buf, int cap) {
  if (f == nullptr || buf == nullptr || cap <= 0)
    return -1;
  int n = 0;
  while (n < cap && !f->ended) {
    if (f->start == f->count) {
      if (n > 0)
        break;  // never block for more once something is ready
      if (Refill(f) < 0)
        return -1;
      if (f->pending_cr && (f->ended || f->raw[0] != '\n')) {
        f->pending_cr = false;
        buf[n++] = '\r';  // a lone CR stays a CR
        continue;
      }
      f->pending_cr = false;
      continue;
    }
    n += Translate(f, buf + n, cap - n);
  }
  return n;
}

void TextFileClose(TextFile* f) {
  if (f == nullptr)
    return;
  close(f->fd);
  delete f;
}

}  // namespace platform

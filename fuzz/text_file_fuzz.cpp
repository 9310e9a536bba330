// The text-mode page reader against a plain model of it: CR LF reads as LF, a
// lone CR stays, 0x1A ends the file. The first input byte places the rest so
// that it straddles the reader's 4096-byte refill boundary (a CR LF pair split
// there is the hard case); the next bytes choose the sizes the caller asks for.
// The file is an in-memory file opened through its /proc path, as a page file is
// opened by name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/files.h"

namespace {

constexpr size_t kRefill = 4096;
constexpr int kCapChoices = 4;

std::string Model(const std::string& raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x1a')
      break;
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
      continue;
    out += raw[i];
  }
  return out;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadThrough(const char* path, const uint8_t* caps) {
  platform::TextFile* file = platform::TextFileOpen(path);
  FUZZ_CHECK(file != nullptr);
  std::string got;
  char buf[1024];
  for (int i = 0;; ++i) {
    int cap = 1 + caps[i % kCapChoices] % static_cast<int>(sizeof buf);
    int n = platform::TextFileRead(file, buf, cap);
    FUZZ_CHECK(n >= 0 && n <= cap);
    if (n == 0)
      break;
    got.append(buf, static_cast<size_t>(n));
  }
  FUZZ_CHECK(platform::TextFileRead(file, buf, sizeof buf) == 0);
  platform::TextFileClose(file);
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 + kCapChoices)
    return 0;
  size_t lead = kRefill - 1 - data[0] % 8;
  if (data[0] & 0x80)
    lead = 0;
  const uint8_t* caps = data + 1;
  std::string raw(lead, 'a');
  raw.append(reinterpret_cast<const char*>(data) + 1 + kCapChoices, size - 1 - kCapChoices);

  int fd = memfd_create("page", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(WriteAll(fd, raw));
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  std::string got = ReadThrough(path, caps);
  close(fd);
  FUZZ_CHECK(got == Model(raw));
  return 0;
}

// Start-up paths (see startup_paths.h).
#include "gateway/server/startup_paths.h"

#include <cstdio>
#include <cstring>

#include "gateway/log/write_log.h"
#include "platform/files.h"
#include "platform/thread.h"

char TryStunPath[kPagePathCapacity];
char TryStunFailedPath[kPagePathCapacity];
char LogFolderPath[kPagePathCapacity];

namespace {

// Long enough for any program path the system hands out, to tell a path that is
// too long for the gateway's buffers from one that cannot be read.
constexpr size_t kLongPathCapacity = 4096;

// Why the program folder could not be had in folder_cap bytes.
void DescribeFolderFailure(char* error, size_t error_cap, size_t folder_cap) {
  char path[kLongPathCapacity];
  if (platform::ExeFilePath(path, sizeof path) == 0) {
    std::snprintf(error, error_cap, "GetModuleFileName() error,error code:%d",
                  platform::LastSystemError());
  } else {
    std::snprintf(error, error_cap,
                  "Program folder of %s has no separator or does not fit in %d bytes", path,
                  static_cast<int>(folder_cap));
  }
}

int JoinPage(char* dst, const char* folder, const char* name) {
  if (JoinPath(dst, kPagePathCapacity, folder, name) == 0)
    return 0;
  WriteLog(3, "Path does not fit in %d bytes: %s%s", kPagePathCapacity, folder, name);
  return -1;
}

}  // namespace

int JoinPath(char* dst, size_t cap, const char* head, const char* tail) {
  std::memset(dst, 0, cap);
  size_t head_len = std::strlen(head);
  size_t tail_len = std::strlen(tail);
  if (head_len + tail_len + 1 > cap)
    return -1;
  std::memcpy(dst, head, head_len);
  std::memcpy(dst + head_len, tail, tail_len);
  return 0;
}

int PrepareLogFolder(const char* folder) {
  char probe[kLogPathCapacity];
  const char tail[] = {platform::kPathSeparator, 't', 'e', 'm', 'p', '\0'};
  if (JoinPath(probe, sizeof probe, folder, tail) == 0) {
    if (std::FILE* f = std::fopen(probe, "w")) {
      std::fclose(f);
      return 0;
    }
  }
  return platform::MakeDir(folder) == 0 ? 1 : -1;
}

int BuildLogPrefix(char* prefix, char* error, size_t error_cap) {
  char folder[kStartFolderCapacity];
  std::memset(folder, 0, sizeof folder);
  if (platform::ExeFolder(folder, sizeof folder) == 0) {
    DescribeFolderFailure(error, error_cap, sizeof folder);
    return -1;
  }
  char log_folder[kLogPathCapacity];
  const char tail[] = {platform::kPathSeparator, 'p', '2', 'p', 'l', 'o', 'g', '_', '\0'};
  if (JoinPath(log_folder, sizeof log_folder, folder, "log") != 0 ||
      JoinPath(prefix, kLogPathCapacity, log_folder, tail) != 0) {
    std::snprintf(error, error_cap, "Log path does not fit in %d bytes: %slog", kLogPathCapacity,
                  folder);
    return -1;
  }
  if (PrepareLogFolder(log_folder) < 0)
    JoinPath(prefix, kLogPathCapacity, folder, "");
  return 0;
}

int GetExeFolder(char* dst, size_t cap) {
  if (platform::ExeFolder(dst, cap) > 0)
    return 0;
  char error[kLongPathCapacity + 100];
  DescribeFolderFailure(error, sizeof error, cap);
  WriteLog(3, "%s", error);
  return -1;
}

int BuildPagePaths() {
  char folder[kPagePathCapacity];
  if (GetExeFolder(folder, sizeof folder) != 0)
    return -1;
  if (JoinPage(TryStunFailedPath, folder, "trystunfailed.html") != 0)
    return -1;
  if (JoinPage(TryStunPath, folder, "trystun.html") != 0)
    return -1;
  return JoinPage(LogFolderPath, folder, "log");
}

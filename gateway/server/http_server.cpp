// Harborgate: a local HTTP gateway between the browser and remote video devices.
// Start-up runs in a fixed order: logging (glog, "-v", LogSink handed to the
// tunnel library, so nothing is logged before), sockets, the page paths, the
// listening socket on 0.0.0.0:9999, the cleared tables, the notice listener, the
// reaper thread; then the accept loop runs until accepting fails. There is no
// orderly shutdown. Exit code -1 when start-up fails, 0 when accepting failed.
#include <glog/logging.h>

#include <cstring>

#include "gateway/log/write_log.h"
#include "gateway/server/accept_loop.h"
#include "gateway/server/reaper.h"
#include "gateway/server/startup_paths.h"
#include "gateway/server/worker_slots.h"
#include "gateway/tunnel/notices.h"
#include "gateway/tunnel/session_table.h"
#include "gateway/tunnel/subscriber_listener.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "zelmo/zelmo_api.h"

namespace {

constexpr int kVerboseThreshold = 8;
constexpr int kLogFileMegabytes = 50;
constexpr size_t kPathErrorCapacity = 4200;

// glog into the log folder (or nowhere when no prefix could be built: the
// console still shows every line), the threshold, and LogSink for every line.
void SetUpLogging(const char* argv0, const char* prefix, bool verbose) {
  google::InitGoogleLogging(argv0);
  google::SetLogDestination(google::GLOG_INFO, prefix);
  FLAGS_logbufsecs = 0;
  FLAGS_max_log_size = kLogFileMegabytes;
  if (verbose)
    SetLogThreshold(kVerboseThreshold);
  Zelmo_SetLogFunc(LogSink);
}

// Each mapped connection holds two descriptors, so the soft limit's usual
// 1024 runs out long before the worker slots and port rules do.
int StartSockets() {
  if (platform::RaiseSocketLimit() != 0)
    WriteLog(3, "Failed to raise the descriptor limit,error code :%d", platform::LastSystemError());
  int r = platform::NetStartup();
  if (r == 0)
    return 0;
  WriteLog(3, "%s failed with error %d\n", platform::NetStartupName(), r);
  platform::NetCleanup();
  return -1;
}

void ClearSharedTables() {
  ClearSessionTables();
  ClearWorkerSlots();
  ClearPopupSubscribers();
}

int StartReaper() {
  platform::ThreadHandle handle;
  uint32_t id;
  if (platform::ThreadStart(DeleteClient, nullptr, &handle, &id) == 0)
    return 0;
  WriteLog(3, "Create DeleteClient thread error,error code :%d", platform::LastSystemError());
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  char prefix[kLogPathCapacity] = {};
  char path_error[kPathErrorCapacity] = {};
  bool have_prefix = BuildLogPrefix(prefix, path_error, sizeof path_error) == 0;
  SetUpLogging(argv[0], prefix, argc > 1 && std::strcmp(argv[1], "-v") == 0);
  if (!have_prefix) {
    WriteLog(3, "%s", path_error);
    return -1;
  }
  if (StartSockets() != 0 || BuildPagePaths() != 0)
    return -1;
  WriteLog(6, "The log path : %s", LogFolderPath);

  platform::Socket listener = OpenGatewayListener(kGatewayPort);
  if (listener == platform::kInvalidSocket)
    return -1;
  ClearSharedTables();
  StartSubscriberListener(kNoticePort);
  if (StartReaper() != 0)
    return -1;
  return AcceptLoop(listener, platform::ThreadStart);
}

// splice(2) behind the platform's forwarding without copying: a stream's bytes
// go from the socket into a kernel pipe as page references and on into the
// other socket, never into the process. Every call is non-blocking on both
// ends and retries EINTR itself. A kernel built without splice says so once
// (ENOSYS); no pipe is opened after that.
#include "platform/splice.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "socket_system.h"

namespace platform {

struct SplicePipe {
  int read_end;
  int write_end;
};

static std::atomic<bool> g_kernel_lacks_splice{false};

static void NoteFailure() {
  if (errno == ENOSYS)
    g_kernel_lacks_splice.store(true);
}

SplicePipe* SplicePipeOpen(int capacity) {
  if (g_kernel_lacks_splice.load()) {
    errno = ENOSYS;
    return nullptr;
  }
  NetStartup();
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
    return nullptr;
  // Refused beyond the user's share of pipe memory: the default size still
  // works, in smaller steps.
  if (capacity > 0)
    fcntl(ends[1], F_SETPIPE_SZ, capacity);
  SplicePipe* pipe = new (std::nothrow) SplicePipe{ends[0], ends[1]};
  if (pipe == nullptr) {
    close(ends[0]);
    close(ends[1]);
    errno = ENOMEM;
  }
  return pipe;
}

void SplicePipeClose(SplicePipe* pipe) {
  if (pipe == nullptr)
    return;
  close(pipe->read_end);
  close(pipe->write_end);
  delete pipe;
}

static int Splice(int from, int to, int len) {
  if (len < 0)
    len = 0;
  for (;;) {
    ssize_t n = splice(from, nullptr, to, nullptr, static_cast<size_t>(len),
                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n >= 0)
      return static_cast<int>(n);
    if (errno != EINTR) {
      NoteFailure();
      return -1;
    }
  }
}

int SpliceFromSocket(Socket s, SplicePipe* pipe, int len) {
  return Splice(NativeSocket(s), pipe->write_end, len);
}

int SpliceToSocket(SplicePipe* pipe, Socket s, int len) {
  return Splice(pipe->read_end, NativeSocket(s), len);
}

int SplicePipeRead(SplicePipe* pipe, void* buf, int len) {
  if (len < 0)
    len = 0;
  for (;;) {
    ssize_t n = read(pipe->read_end, buf, static_cast<size_t>(len));
    if (n >= 0)
      return static_cast<int>(n);
    if (IsWouldBlockError(errno))
      return 0;
    if (errno != EINTR)
      return -1;
  }
}

int SocketAtUrgentMark(Socket s) {
  return sockatmark(NativeSocket(s));
}

bool IsSpliceUnsupportedError(int code) {
  return code == EINVAL || code == ENOSYS;
}

}  // namespace platform

// BSD sockets behind the platform socket layer. Every helper retries EINTR
// itself so callers see only real failures. Sends carry MSG_NOSIGNAL, and start-up
// also ignores SIGPIPE, so a peer that went away can never end the process.
// Waiting uses poll: the tunnel library shares the process and pushes descriptor
// numbers past FD_SETSIZE, where select would write out of bounds. Addresses,
// binding and listening are shared with Windows (common/net.cpp).
#include "platform/net.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/common/socket_address.h"
#include "platform/thread.h"

namespace platform {

const int kErrConnAborted = ECONNABORTED;
const int kErrConnReset = ECONNRESET;

int NetStartup() {
  static const bool ignored = (signal(SIGPIPE, SIG_IGN), true);
  (void)ignored;
  return 0;
}

void NetCleanup() {}

const char* NetStartupName() {
  return "Socket start-up";
}

int LastSocketError() {
  return errno;
}

void SetLastSocketError(int code) {
  errno = code;
}

bool IsPeerGoneError(int code) {
  return code == ECONNABORTED || code == ECONNRESET || code == EPIPE;
}

bool IsTransientAcceptError(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM ||
         code == ECONNABORTED || code == EINTR || code == EPROTO || code == EPERM;
}

bool IsWouldBlockError(int code) {
  return code == EAGAIN || code == EWOULDBLOCK;
}

Socket TcpSocket() {
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// The descriptor is gone even when close reports EINTR; retrying could close a
// descriptor another thread has just been given.
int SocketClose(Socket s) {
  return close(NativeSocket(s)) == 0 || errno == EINTR ? 0 : -1;
}

int SocketAllowRebind(Socket s) {
  int on = 1;
  return setsockopt(NativeSocket(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

Socket SocketAccept(Socket s) {
  for (;;) {
    Socket c = accept4(NativeSocket(s), nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0 || errno != EINTR)
      return c;
  }
}

// An interrupted connect goes on in the background; wait for it to finish
// instead of calling connect again (which would report EALREADY).
static int FinishInterruptedConnect(Socket s) {
  pollfd p = {NativeSocket(s), POLLOUT, 0};
  int r;
  do {
    r = poll(&p, 1, -1);
  } while (r < 0 && errno == EINTR);
  if (r < 0)
    return -1;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(NativeSocket(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
    return -1;
  if (err != 0) {
    errno = err;
    return -1;
  }
  return 0;
}

int SocketConnect(Socket s, const char* ipv4, uint16_t port) {
  sockaddr_in addr;
  if (MakeAddress(ipv4, port, &addr) != 0)
    return -1;
  if (connect(NativeSocket(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
    return 0;
  return errno == EINTR ? FinishInterruptedConnect(s) : -1;
}

int SocketSetNonBlocking(Socket s) {
  int flags = fcntl(NativeSocket(s), F_GETFL);
  if (flags < 0)
    return -1;
  return fcntl(NativeSocket(s), F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int SocketSetSendBuffer(Socket s, int bytes) {
  return setsockopt(NativeSocket(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

int SocketUnsentBytes(Socket s) {
  int queued = 0;
  return ioctl(NativeSocket(s), TIOCOUTQ, &queued) == 0 ? queued : -1;
}

int RaiseSocketLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return -1;
  if (limit.rlim_cur == limit.rlim_max)
    return 0;
  limit.rlim_cur = limit.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : -1;
}

int SocketSetSendTimeout(Socket s, int timeout_ms) {
  timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  return setsockopt(NativeSocket(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0 : -1;
}

int SocketRecv(Socket s, void* buf, int len) {
  if (len < 0)
    len = 0;
  for (;;) {
    ssize_t n = recv(NativeSocket(s), buf, static_cast<size_t>(len), 0);
    if (n >= 0 || errno != EINTR)
      return static_cast<int>(n);
  }
}

int SocketSend(Socket s, const void* buf, int len) {
  if (len < 0)
    len = 0;
  for (;;) {
    ssize_t n = send(NativeSocket(s), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR)
      return static_cast<int>(n);
  }
}

int WaitReadable(Socket s, int timeout_ms) {
  pollfd p = {NativeSocket(s), POLLIN, 0};
  const int64_t deadline = MonotonicMs() + (timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int64_t left = deadline - MonotonicMs();
    int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (r > 0)
      return (p.revents & POLLNVAL) ? (errno = EBADF, -1) : 1;
    if (r == 0)
      return 0;
    if (errno != EINTR)
      return -1;
  }
}

}  // namespace platform

// BSD sockets behind the platform socket layer. Every helper retries EINTR
// itself so callers see only real failures. Sends carry MSG_NOSIGNAL, and start-up
// also ignores SIGPIPE, so a peer that went away can never end the process.
// Waiting uses poll: the tunnel library shares the process and pushes descriptor
// numbers past FD_SETSIZE, where select would write out of bounds.
#include "platform/net.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {

const int kErrConnAborted = ECONNABORTED;
const int kErrConnReset = ECONNRESET;

int NetStartup() {
  static const bool ignored = (signal(SIGPIPE, SIG_IGN), true);
  (void)ignored;
  return 0;
}

void NetCleanup() {}

int LastSocketError() {
  return errno;
}

bool IsPeerGoneError(int code) {
  return code == ECONNABORTED || code == ECONNRESET || code == EPIPE;
}

Socket TcpSocket() {
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// The descriptor is gone even when close reports EINTR; retrying could close a
// descriptor another thread has just been given.
int SocketClose(Socket s) {
  return close(s) == 0 || errno == EINTR ? 0 : -1;
}

int SocketAllowRebind(Socket s) {
  int on = 1;
  return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

// Fills addr from a dotted IPv4 text; -1 (EINVAL) when the text is not one.
static int MakeAddress(const char* ipv4, uint16_t port, sockaddr_in* addr) {
  memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  if (ipv4 == nullptr || inet_pton(AF_INET, ipv4, &addr->sin_addr) != 1) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int SocketBind(Socket s, const char* ipv4, uint16_t port) {
  sockaddr_in addr;
  if (MakeAddress(ipv4, port, &addr) != 0)
    return -1;
  return bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int SocketListen(Socket s, int backlog) {
  return listen(s, backlog) == 0 ? 0 : -1;
}

Socket SocketAccept(Socket s) {
  for (;;) {
    Socket c = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0 || errno != EINTR)
      return c;
  }
}

// An interrupted connect goes on in the background; wait for it to finish
// instead of calling connect again (which would report EALREADY).
static int FinishInterruptedConnect(Socket s) {
  pollfd p = {s, POLLOUT, 0};
  int r;
  do {
    r = poll(&p, 1, -1);
  } while (r < 0 && errno == EINTR);
  if (r < 0)
    return -1;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
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
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
    return 0;
  return errno == EINTR ? FinishInterruptedConnect(s) : -1;
}

int SocketSetSendTimeout(Socket s, int timeout_ms) {
  timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  return setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0 : -1;
}

uint16_t SocketLocalPort(Socket s) {
  sockaddr_in addr;
  socklen_t len = sizeof addr;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return 0;
  if (addr.sin_family != AF_INET)
    return 0;
  return ntohs(addr.sin_port);
}

int SocketRecv(Socket s, void* buf, int len) {
  if (len < 0)
    len = 0;
  for (;;) {
    ssize_t n = recv(s, buf, static_cast<size_t>(len), 0);
    if (n >= 0 || errno != EINTR)
      return static_cast<int>(n);
  }
}

int SocketSend(Socket s, const void* buf, int len) {
  if (len < 0)
    len = 0;
  for (;;) {
    ssize_t n = send(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR)
      return static_cast<int>(n);
  }
}

static int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int WaitReadable(Socket s, int timeout_ms) {
  pollfd p = {s, POLLIN, 0};
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

// Loopback client helpers (see bench_socket.h).
#include "bench/bench_socket.h"

namespace bench {

platform::Socket ConnectLoopback(uint16_t port) {
  platform::Socket s = platform::TcpSocket();
  if (s == platform::kInvalidSocket)
    return s;
  if (platform::SocketConnect(s, "127.0.0.1", port) != 0) {
    platform::SocketClose(s);
    return platform::kInvalidSocket;
  }
  return s;
}

int SendAll(platform::Socket s, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    int n = platform::SocketSend(s, p, static_cast<int>(size));
    if (n <= 0)
      return -1;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int SkipLine(platform::Socket s) {
  char c = 0;
  while (c != '\n') {
    if (platform::SocketRecv(s, &c, 1) != 1)
      return -1;
  }
  return 0;
}

int ReceiveExactly(platform::Socket s, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    int n = platform::SocketRecv(s, p, static_cast<int>(size));
    if (n <= 0)
      return -1;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace bench

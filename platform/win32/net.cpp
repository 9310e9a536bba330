// Winsock 2.2 behind the platform socket layer. Windows never signals a send to
// a closed peer and lets a listener bind over connections in TIME_WAIT, so those
// helpers have nothing to do here. select on the single socket is enough for
// waiting: a Winsock fd_set holds socket handles, not a bit per descriptor.
#include "platform/net.h"

#include <cstring>

namespace platform {

const int kErrConnAborted = WSAECONNABORTED;
const int kErrConnReset = WSAECONNRESET;

int NetStartup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

void NetCleanup() {
  WSACleanup();
}

int LastSocketError() {
  return WSAGetLastError();
}

bool IsPeerGoneError(int code) {
  return code == WSAECONNABORTED || code == WSAECONNRESET;
}

Socket TcpSocket() {
  return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

int SocketClose(Socket s) {
  return closesocket(s) == 0 ? 0 : -1;
}

int SocketAllowRebind(Socket) {
  return 0;
}

// Fills addr from a dotted IPv4 text; -1 (WSAEINVAL) when the text is not one.
static int MakeAddress(const char* ipv4, uint16_t port, sockaddr_in* addr) {
  memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  if (ipv4 == nullptr || inet_pton(AF_INET, ipv4, &addr->sin_addr) != 1) {
    WSASetLastError(WSAEINVAL);
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
  return accept(s, nullptr, nullptr);
}

int SocketConnect(Socket s, const char* ipv4, uint16_t port) {
  sockaddr_in addr;
  if (MakeAddress(ipv4, port, &addr) != 0)
    return -1;
  return connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int SocketSetSendTimeout(Socket s, int timeout_ms) {
  DWORD ms = static_cast<DWORD>(timeout_ms);
  const char* value = reinterpret_cast<const char*>(&ms);
  return setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, value, sizeof ms) == 0 ? 0 : -1;
}

uint16_t SocketLocalPort(Socket s) {
  sockaddr_in addr;
  int len = sizeof addr;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return 0;
  if (addr.sin_family != AF_INET)
    return 0;
  return ntohs(addr.sin_port);
}

int SocketRecv(Socket s, void* buf, int len) {
  int n = recv(s, static_cast<char*>(buf), len < 0 ? 0 : len, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int SocketSend(Socket s, const void* buf, int len) {
  int n = send(s, static_cast<const char*>(buf), len < 0 ? 0 : len, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int WaitReadable(Socket s, int timeout_ms) {
  if (timeout_ms < 0)
    timeout_ms = 0;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int r = select(0, &readable, nullptr, nullptr, &tv);
  if (r == SOCKET_ERROR)
    return -1;
  return r > 0 ? 1 : 0;
}

}  // namespace platform

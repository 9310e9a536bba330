// Winsock 2.2 behind the platform socket layer. Windows never signals a send to
// a closed peer and lets a listener bind over connections in TIME_WAIT, so those
// helpers have nothing to do here. select on the single socket is enough for
// waiting: a Winsock fd_set holds socket handles, not a bit per descriptor.
// Addresses, binding and listening are shared with POSIX (common/net.cpp).
#include "platform/net.h"

#include "platform/common/socket_address.h"

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

const char* NetStartupName() {
  return "WSAStartup";
}

int LastSocketError() {
  return WSAGetLastError();
}

void SetLastSocketError(int code) {
  WSASetLastError(code);
}

bool IsPeerGoneError(int code) {
  return code == WSAECONNABORTED || code == WSAECONNRESET;
}

// A peer that resets while its connection is queued fails the accept with
// WSAECONNRESET; the rest are shortages that pass.
bool IsTransientAcceptError(int code) {
  return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAEMFILE ||
         code == WSAENOBUFS || code == WSAEINTR || code == WSAEWOULDBLOCK;
}

bool IsWouldBlockError(int code) {
  return code == WSAEWOULDBLOCK;
}

Socket TcpSocket() {
  return static_cast<Socket>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

int SocketClose(Socket s) {
  return closesocket(NativeSocket(s)) == 0 ? 0 : -1;
}

int SocketAllowRebind(Socket) {
  return 0;
}

Socket SocketAccept(Socket s) {
  return static_cast<Socket>(accept(NativeSocket(s), nullptr, nullptr));
}

int SocketConnect(Socket s, const char* ipv4, uint16_t port) {
  sockaddr_in addr;
  if (MakeAddress(ipv4, port, &addr) != 0)
    return -1;
  return connect(NativeSocket(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int SocketSetNonBlocking(Socket s) {
  u_long on = 1;
  return ioctlsocket(NativeSocket(s), FIONBIO, &on) == 0 ? 0 : -1;
}

int SocketSetSendBuffer(Socket s, int bytes) {
  return setsockopt(NativeSocket(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                    sizeof bytes) == 0
             ? 0
             : -1;
}

int SocketUnsentBytes(Socket) {
  return -1;
}

int RaiseSocketLimit() {
  return 0;
}

int SocketSetSendTimeout(Socket s, int timeout_ms) {
  DWORD ms = static_cast<DWORD>(timeout_ms);
  const char* value = reinterpret_cast<const char*>(&ms);
  return setsockopt(NativeSocket(s), SOL_SOCKET, SO_SNDTIMEO, value, sizeof ms) == 0 ? 0 : -1;
}

int SocketRecv(Socket s, void* buf, int len) {
  int n = recv(NativeSocket(s), static_cast<char*>(buf), len < 0 ? 0 : len, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int SocketSend(Socket s, const void* buf, int len) {
  int n = send(NativeSocket(s), static_cast<const char*>(buf), len < 0 ? 0 : len, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int WaitReadable(Socket s, int timeout_ms) {
  if (timeout_ms < 0)
    timeout_ms = 0;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(NativeSocket(s), &readable);
  timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int r = select(0, &readable, nullptr, nullptr, &tv);
  if (r == SOCKET_ERROR)
    return -1;
  return r > 0 ? 1 : 0;
}

}  // namespace platform

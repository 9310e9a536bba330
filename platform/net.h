// Sockets: the thin layer over Winsock and BSD sockets that both programs use.
// Results follow the design's convention: 0 success, -1 failure, and the reason
// in LastSocketError() (WSAGetLastError() on Windows, errno on POSIX).
// No system header comes through here: the handle is an opaque integer that only
// the implementation converts to a descriptor or a SOCKET.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

// A descriptor on POSIX, a SOCKET (UINT_PTR) on Windows; either fits a signed
// integer of pointer size, and both bad values (-1 and INVALID_SOCKET, ~0) read -1.
using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;
extern const int kMaxBacklog;  // the longest listen queue the system grants (SOMAXCONN)

// Winsock 2.2 start-up; 0 or the error code. POSIX only ignores SIGPIPE here,
// once, as a second guard behind SocketSend's no-signal flag, and never fails.
int NetStartup();
void NetCleanup();
// What NetStartup runs, for its failure message: "WSAStartup" on Windows.
const char* NetStartupName();

int LastSocketError();
void SetLastSocketError(int code);  // for resolver hooks in tests
// The peer-gone codes: connection aborted and reset (10053/10054 on Windows;
// ECONNABORTED, ECONNRESET and also EPIPE on POSIX).
bool IsPeerGoneError(int code);
// Accept failures that pass: out of descriptors or buffers, a connection that
// went away while queued, an interrupted call. Any other failure is for good.
bool IsTransientAcceptError(int code);
// A non-blocking call that could not go on at once (EAGAIN, WSAEWOULDBLOCK).
bool IsWouldBlockError(int code);
extern const int kErrConnAborted;
extern const int kErrConnReset;

Socket TcpSocket();  // IPv4 stream socket, kInvalidSocket on failure
int SocketClose(Socket s);
// Windows lets a listener bind over connections in TIME_WAIT; POSIX needs
// SO_REUSEADDR for the same. Call before SocketBind on a listening socket only.
int SocketAllowRebind(Socket s);
int SocketBind(Socket s, const char* ipv4, uint16_t port);  // dotted address
int SocketListen(Socket s, int backlog);
Socket SocketAccept(Socket s);
int SocketConnect(Socket s, const char* ipv4, uint16_t port);
// Bounds every later send on s to timeout_ms: a send that cannot go on by then
// fails (-1) instead of blocking for as long as the peer does not read.
int SocketSetSendTimeout(Socket s, int timeout_ms);
// Makes every later send and recv on s return at once instead of waiting.
int SocketSetNonBlocking(Socket s);
// Asks the system for a send buffer of about bytes on s (it may round up).
int SocketSetSendBuffer(Socket s, int bytes);
// Bytes sent on s that the peer has not yet acknowledged or that wait to go
// out (Linux); -1 where the system cannot tell (Windows, whose non-blocking
// send of a small buffer takes all of it or none).
int SocketUnsentBytes(Socket s);
// Raises the process's descriptor limit to the most it may have (POSIX; Windows
// has no such limit on sockets). 0, or -1 when the limit stays.
int RaiseSocketLimit();
// Local port a bound socket holds (after binding to port 0), 0 on failure.
uint16_t SocketLocalPort(Socket s);
// One recv/send call: bytes moved, 0 at orderly close (recv), -1 on error.
// Send never raises SIGPIPE.
int SocketRecv(Socket s, void* buf, int len);
int SocketSend(Socket s, const void* buf, int len);
// Waits until s is readable (data, end or reset) for at most timeout_ms (a
// negative time-out counts as 0): 1 readable, 0 time-out, -1 error. Uses poll on
// POSIX, so descriptors above 1023 work.
int WaitReadable(Socket s, int timeout_ms);

}  // namespace platform

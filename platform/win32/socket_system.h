// The Winsock headers and what the code shared with POSIX needs spelled the
// Windows way: the SOCKET behind a Socket, the address length type, and how an
// error is set. Only platform sources include this.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/net.h"

namespace platform {

using AddressLength = int;
constexpr int kErrInvalidArgument = WSAEINVAL;

inline SOCKET NativeSocket(Socket s) {
  return static_cast<SOCKET>(s);
}

inline void SetSocketError(int code) {
  WSASetLastError(code);
}

// Sets the socket error for a failed getaddrinfo, whose codes are its own.
void SetResolverError(int rc);

}  // namespace platform

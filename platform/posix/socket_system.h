// The BSD socket headers and what the code shared with Windows needs spelled the
// POSIX way: the descriptor behind a Socket, the address length type, and how
// an error is set. Only platform sources include this.
#pragma once
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/net.h"

namespace platform {

using AddressLength = socklen_t;
constexpr int kErrInvalidArgument = EINVAL;

inline int NativeSocket(Socket s) {
  return static_cast<int>(s);
}

inline void SetSocketError(int code) {
  errno = code;
}

// Sets the socket error for a failed getaddrinfo, whose codes are its own.
void SetResolverError(int rc);

}  // namespace platform

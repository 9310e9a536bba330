// The Windows host name and the error a failed lookup reports; the lookup
// itself is shared with POSIX (common/resolver.cpp).
#include "platform/resolver.h"

#include "socket_system.h"

namespace platform {

// getaddrinfo's codes on Windows are Winsock error codes already.
void SetResolverError(int rc) {
  WSASetLastError(rc);
}

int HostName(char* buf, int cap) {
  if (buf == nullptr || cap <= 0) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  if (gethostname(buf, cap) != 0) {
    buf[0] = '\0';
    return -1;
  }
  return 0;
}

}  // namespace platform

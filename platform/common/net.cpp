// The socket calls that read the same with Winsock and BSD sockets: addresses,
// binding, listening and the bound port. The per-system header supplies the
// native handle and the error setter.
#include <cstring>

#include "platform/common/socket_address.h"
#include "platform/net.h"

namespace platform {

const int kMaxBacklog = SOMAXCONN;

int MakeAddress(const char* ipv4, uint16_t port, sockaddr_in* addr) {
  memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  if (ipv4 == nullptr || inet_pton(AF_INET, ipv4, &addr->sin_addr) != 1) {
    SetSocketError(kErrInvalidArgument);
    return -1;
  }
  return 0;
}

int SocketBind(Socket s, const char* ipv4, uint16_t port) {
  sockaddr_in addr;
  if (MakeAddress(ipv4, port, &addr) != 0)
    return -1;
  return bind(NativeSocket(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int SocketListen(Socket s, int backlog) {
  return listen(NativeSocket(s), backlog) == 0 ? 0 : -1;
}

uint16_t SocketLocalPort(Socket s) {
  sockaddr_in addr;
  AddressLength len = sizeof addr;
  if (getsockname(NativeSocket(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return 0;
  if (addr.sin_family != AF_INET)
    return 0;
  return ntohs(addr.sin_port);
}

}  // namespace platform

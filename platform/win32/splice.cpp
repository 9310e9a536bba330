// Windows has no way to move bytes between two sockets inside the system that
// fits a non-blocking pipe of our own, so forwarding without copying is not
// available here: every open fails as unsupported and callers copy.
#include "platform/splice.h"

#include "socket_system.h"

namespace platform {

struct SplicePipe {};

static int Unsupported() {
  WSASetLastError(WSAEOPNOTSUPP);
  return -1;
}

SplicePipe* SplicePipeOpen(int) {
  Unsupported();
  return nullptr;
}

void SplicePipeClose(SplicePipe*) {}

int SpliceFromSocket(Socket, SplicePipe*, int) {
  return Unsupported();
}

int SpliceToSocket(SplicePipe*, Socket, int) {
  return Unsupported();
}

int SplicePipeRead(SplicePipe*, void*, int) {
  return Unsupported();
}

int SocketAtUrgentMark(Socket) {
  return Unsupported();
}

bool IsSpliceUnsupportedError(int code) {
  return code == WSAEOPNOTSUPP;
}

}  // namespace platform

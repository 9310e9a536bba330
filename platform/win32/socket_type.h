// Winsock socket type and the system headers the socket calls need.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>

namespace platform {
using Socket = SOCKET;
constexpr Socket kInvalidSocket = INVALID_SOCKET;
}  // namespace platform

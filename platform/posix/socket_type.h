// POSIX socket type and the system headers the socket calls need.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform {
using Socket = int;
constexpr Socket kInvalidSocket = -1;
}  // namespace platform

// IPv4 socket addresses, built the same way on both systems.
#pragma once
#include <cstdint>

#include "socket_system.h"

namespace platform {

// Fills addr from a dotted IPv4 text; -1 (invalid argument) when the text is not one.
int MakeAddress(const char* ipv4, uint16_t port, sockaddr_in* addr);

}  // namespace platform

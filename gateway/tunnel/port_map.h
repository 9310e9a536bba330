// Local port mapping: picks a free local port for each device service and hands
// it to the tunnel library as a port rule. PortMapMutex is held from the first
// probe of a port until the library has taken the rule, so tunnels that come up
// together never pick the same port.
#pragma once
#include <mutex>

#include "platform/net.h"

extern std::mutex PortMapMutex;

constexpr int kHighestPort = 65535;

// A socket bound to 127.0.0.1:port once the port proved bindable on 0.0.0.0 as
// well; kInvalidSocket ("Bind failed" logged) when either bind fails. The caller
// closes the socket.
platform::Socket TryBindLocalPort(int port);

// Searches upward from *port + 1 for a free port and adds the rule there. A
// result other than 0 and -2 moves the search on to the next port. Returns 0
// (rule stands) or -2 (refused for good), *port holding the rule's port; or -1
// when the search passed 65535, *port then 0.
int MapDevicePort(void* client, const char* tunnel_id, const char* rule_name, int* port);

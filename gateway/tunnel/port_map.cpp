// Local port mapping (see port_map.h). The "Bind failed" lines are written while
// PortMapMutex is held; the rule error lines after it has been released, and the
// mutex is let go between two attempts at a rule.
#include "gateway/tunnel/port_map.h"

#include <cstdint>

#include "gateway/log/write_log.h"
#include "zelmo/zelmo_api.h"

std::mutex PortMapMutex;

namespace {

constexpr int kRuleRefused = -2;
constexpr int kNoPortLeft = -1;

platform::Socket BoundSocket(const char* ipv4, int port) {
  platform::Socket s = platform::TcpSocket();
  if (platform::SocketBind(s, ipv4, static_cast<uint16_t>(port)) != 0) {
    platform::SocketClose(s);
    WriteLog(3, "Bind failed");
    return platform::kInvalidSocket;
  }
  return s;
}

// Lock held. Advances *port to the next port that binds; false past 65535.
bool FindFreePort(int* port) {
  while (*port < kHighestPort) {
    ++*port;
    platform::Socket s = TryBindLocalPort(*port);
    if (s != platform::kInvalidSocket) {
      platform::SocketClose(s);
      return true;
    }
  }
  return false;
}

// One attempt: the next free port and its rule's result; false when no port is left.
bool AddRuleOnNextFreePort(void* client, const char* tunnel_id, const char* rule_name, int* port,
                           int* result) {
  std::lock_guard<std::mutex> lock(PortMapMutex);
  if (!FindFreePort(port))
    return false;
  *result = Zelmo_AddT2URule(ZelmoTunnelContext(client), tunnel_id, 0, rule_name, "0.0.0.0",
                             static_cast<uint16_t>(*port));
  return true;
}

}  // namespace

platform::Socket TryBindLocalPort(int port) {
  platform::Socket any = BoundSocket("0.0.0.0", port);
  if (any == platform::kInvalidSocket)
    return any;
  platform::SocketClose(any);
  return BoundSocket("127.0.0.1", port);
}

int MapDevicePort(void* client, const char* tunnel_id, const char* rule_name, int* port) {
  for (;;) {
    int result;
    if (!AddRuleOnNextFreePort(client, tunnel_id, rule_name, port, &result)) {
      *port = 0;
      WriteLog(3, "No free local port up to %d for rule %s", kHighestPort, rule_name);
      return kNoPortLeft;
    }
    if (result == 0)
      return 0;
    WriteLog(3, "call AddT2URule error,port %d:ret %d", *port, result);
    if (result == kRuleRefused)
      return kRuleRefused;
  }
}

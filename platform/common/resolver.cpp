// IPv4 addresses through getaddrinfo, which is thread-safe where gethostbyname
// shares one result. Asking for stream sockets only gives one entry per address
// and socket type; an address the hosts file names twice (localhost on Debian)
// still comes back twice, as gethostbyname gives it. The resolver's order is
// kept. An empty name means this computer, so the host
// name is resolved in its place. Only the error report differs between the
// systems (SetResolverError, beside each system's HostName).
#include "platform/resolver.h"

#include <atomic>
#include <cstring>

#include "socket_system.h"

namespace platform {

namespace {

std::atomic<ResolverHook> resolver_hook{nullptr};

int SystemResolve(const char* name, char (*out)[16], int max) {
  char host[256];
  if (name == nullptr || name[0] == '\0') {
    if (HostName(host, sizeof host) != 0)
      return -1;
    name = host;
  }
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) {
    SetResolverError(rc);
    return -1;
  }
  int count = 0;
  for (addrinfo* a = list; a != nullptr && count < max; a = a->ai_next) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, out[count], sizeof out[count]) != nullptr)
      count++;
  }
  freeaddrinfo(list);
  return count;
}

}  // namespace

int ResolveIPv4(const char* name, char (*out)[16], int max) {
  if (max < 0)
    max = 0;
  ResolverHook hook = resolver_hook.load();
  return hook != nullptr ? hook(name, out, max) : SystemResolve(name, out, max);
}

void SetResolverHook(ResolverHook hook) {
  resolver_hook.store(hook);
}

}  // namespace platform

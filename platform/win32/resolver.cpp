// Host name and IPv4 addresses through getaddrinfo, which is thread-safe where
// gethostbyname shares one per-thread result. Asking for stream sockets only
// gives each address once; the resolver's order is kept. An empty name means
// this computer; the host name is resolved in its place, as on POSIX.
#include "platform/resolver.h"

#include <atomic>
#include <cstring>

#include "platform/net.h"

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
    WSASetLastError(rc);
    return -1;
  }
  int count = 0;
  for (addrinfo* a = list; a != nullptr && count < max; a = a->ai_next) {
    auto* sin = reinterpret_cast<sockaddr_in*>(a->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, out[count], sizeof out[count]) != nullptr)
      count++;
  }
  freeaddrinfo(list);
  return count;
}

}  // namespace

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

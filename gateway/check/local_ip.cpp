// GetLocalIp on the platform's thread-safe resolver. Only the exact text
// "127.0.0.1" is passed over; no network or adapter is preferred, the
// resolver's order decides.
#include "gateway/check/local_ip.h"

#include <cstdio>
#include <cstring>

#include "gateway/log/write_log.h"
#include "platform/net.h"
#include "platform/resolver.h"

namespace {

constexpr int kHostNameCapacity = 100;
constexpr int kMaxAddresses = 32;

}  // namespace

int GetLocalIp(char* local_ip) {
  char host[kHostNameCapacity];
  std::memset(host, 0, sizeof host);
  if (platform::HostName(host, sizeof host) != 0) {
    WriteLog(3, "gethostname error:%d", platform::LastSocketError());
    host[0] = '\0';  // the resolver answers the empty name with this host's addresses
  }

  char addresses[kMaxAddresses][16];
  int count = platform::ResolveIPv4(host, addresses, kMaxAddresses);
  if (count < 0) {
    WriteLog(3, "gethostbyname error:%d", platform::LastSocketError());
    return -1;
  }
  if (count > kMaxAddresses)
    count = kMaxAddresses;
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(addresses[i], "127.0.0.1") == 0)
      continue;
    std::snprintf(local_ip, kLocalIpCapacity, "%.15s", addresses[i]);
    return 0;
  }
  return -1;
}

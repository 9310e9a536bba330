// Host name and its IPv4 addresses, thread-safe (no gethostbyname on POSIX).
#pragma once
#include <cstdint>

namespace platform {

int HostName(char* buf, int cap);  // 0, or -1 with LastSocketError()

// Resolves name (may be empty: the local host) to IPv4 addresses in the
// resolver's order, as dotted texts of at most 15 characters. Returns the count
// (at most max), or -1 with LastSocketError() when the name cannot be resolved.
int ResolveIPv4(const char* name, char (*out)[16], int max);

// Tests replace the resolver with a fixed answer; null restores the system's.
using ResolverHook = int (*)(const char* name, char (*out)[16], int max);
void SetResolverHook(ResolverHook hook);

}  // namespace platform

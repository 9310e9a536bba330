// The path a tunnel's streams take between the library and the device, as a
// small value: the library logs it when a tunnel comes up and whenever it
// changes, and the cloud names it in its stats and on its portal, all from the
// same words. Every tunnel is relayed through the cloud's relay today; another
// way to the device joins as another kind without changing those who show it.
#pragma once
#include <string>

namespace zelmo {

enum class PathKind {
  kCloudRelay,  // each stream a TCP connection of its own, joined by the cloud's relay
};

struct TunnelPath {
  PathKind kind = PathKind::kCloudRelay;
};

inline bool operator==(const TunnelPath& a, const TunnelPath& b) {
  return a.kind == b.kind;
}
inline bool operator!=(const TunnelPath& a, const TunnelPath& b) {
  return !(a == b);
}

// "relayed": how the streams go, as the portal shows it beside a device.
const char* PathManner(const TunnelPath& path);
// "cloud": what carries them, as the cloud's stats name it.
const char* PathCarrier(const TunnelPath& path);
// "relayed (cloud)": both, as the library's log line says it.
std::string DescribePath(const TunnelPath& path);

}  // namespace zelmo

// The path a tunnel's streams take between the library and the device, as a
// small value: the library logs it when a tunnel comes up and whenever it
// changes, and the cloud names it in its stats and on its portal, all from the
// same words. A tunnel starts on the cloud's relay; once the peers reach each
// other over UDP, new streams go straight there, or through a TURN server when
// only that connects them.
#pragma once
#include <string>

namespace zelmo {

enum class PathKind {
  kCloudRelay,  // each stream a TCP connection of its own, joined by the cloud's relay
  kTurnRelay,   // streams over UDP, relayed by a TURN server
  kDirect,      // streams over UDP straight between the peers
};

struct TunnelPath {
  PathKind kind = PathKind::kCloudRelay;
  std::string address;  // kDirect: the peer's address as "ip:port"
};

inline bool operator==(const TunnelPath& a, const TunnelPath& b) {
  return a.kind == b.kind && a.address == b.address;
}
inline bool operator!=(const TunnelPath& a, const TunnelPath& b) {
  return !(a == b);
}

// "relayed" or "direct": how the streams go, as the portal shows it beside a device.
const char* PathManner(const TunnelPath& path);
// "cloud", "turn" or "direct": what carries them, as the cloud's stats name it.
const char* PathCarrier(const TunnelPath& path);
// "relayed (cloud)", "relayed (turn)", "direct (udp 100.64.2.2:40711)": as the
// library's log line says it.
std::string DescribePath(const TunnelPath& path);
// The path a carrier word and an address name (the address counts for "direct"
// only, and must then be given); false for anything else.
bool ParsePath(const std::string& carrier, const std::string& address, TunnelPath& path);

}  // namespace zelmo

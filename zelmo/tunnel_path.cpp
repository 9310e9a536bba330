// Tunnel path words (see tunnel_path.h).
#include "zelmo/tunnel_path.h"

namespace zelmo {

const char* PathManner(const TunnelPath& path) {
  switch (path.kind) {
    case PathKind::kCloudRelay:
    case PathKind::kTurnRelay:
      return "relayed";
    case PathKind::kDirect:
      return "direct";
  }
  return "unknown";
}

const char* PathCarrier(const TunnelPath& path) {
  switch (path.kind) {
    case PathKind::kCloudRelay:
      return "cloud";
    case PathKind::kTurnRelay:
      return "turn";
    case PathKind::kDirect:
      return "direct";
  }
  return "unknown";
}

std::string DescribePath(const TunnelPath& path) {
  if (path.kind == PathKind::kDirect)
    return "direct (udp " + path.address + ")";
  return std::string(PathManner(path)) + " (" + PathCarrier(path) + ")";
}

bool ParsePath(const std::string& carrier, const std::string& address, TunnelPath& path) {
  for (PathKind kind : {PathKind::kCloudRelay, PathKind::kTurnRelay, PathKind::kDirect}) {
    TunnelPath candidate{kind, kind == PathKind::kDirect ? address : std::string()};
    if (carrier != PathCarrier(candidate))
      continue;
    if (kind == PathKind::kDirect && address.empty())
      return false;
    path = candidate;
    return true;
  }
  return false;
}

}  // namespace zelmo

// Tunnel path words (see tunnel_path.h).
#include "zelmo/tunnel_path.h"

namespace zelmo {

const char* PathManner(const TunnelPath& path) {
  switch (path.kind) {
    case PathKind::kCloudRelay:
      return "relayed";
  }
  return "unknown";
}

const char* PathCarrier(const TunnelPath& path) {
  switch (path.kind) {
    case PathKind::kCloudRelay:
      return "cloud";
  }
  return "unknown";
}

std::string DescribePath(const TunnelPath& path) {
  return std::string(PathManner(path)) + " (" + PathCarrier(path) + ")";
}

}  // namespace zelmo

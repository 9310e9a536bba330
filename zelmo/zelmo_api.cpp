// zelmo: port rules, traffic counter and network events, the C interface of
// zelmo/zelmo_api.h over the tunnel of tunnel.h. Its logging functions
// live in log.cpp, beside the library's own log line routine.
//
// Our choices where the interface leaves them open:
// - Zelmo_AddT2URule ignores its third argument. It returns 0 when the listener
//   stands, -1 when the port cannot be used, and -2 for a null or closed tunnel,
//   another tunnel id, an unknown rule name or a local address that is not an
//   IPv4 or IPv6 address.
// - Counter kind 1 is the number of bytes the tunnel carried, both directions,
//   counted as they are written; other kinds and a null context give 0.
// - Network event codes and counts are the cloud's, passed on unchanged to the
//   callback on the client's thread; the cloud uses code 1 for packet loss, with
//   the number of packets lost as the count.
// - Log levels: 3 failures, 6 progress, 7 detail, 8 per-stream trace.
//
// A context is used only while the registry knows its client, and the client is
// held for the length of the call (client_registry.h).
#include "zelmo/client_registry.h"
#include "zelmo/tunnel.h"
#include "zelmo/zelmo_api.h"

using zelmo::FindTunnelOwner;
using zelmo::Tunnel;

extern "C" int Zelmo_AddT2URule(void* tunnel_context, const char* tunnel_id, int,
                                const char* rule_name, const char* local_ip, uint16_t local_port) {
  auto owner = FindTunnelOwner(tunnel_context);
  if (owner == nullptr)
    return zelmo::kRuleRefused;
  return static_cast<Tunnel*>(tunnel_context)->AddRule(tunnel_id, rule_name, local_ip, local_port);
}

extern "C" int64_t Zelmo_GetT2UCounter(void* tunnel_context, int kind) {
  auto owner = FindTunnelOwner(tunnel_context);
  if (owner == nullptr || kind != 1)
    return 0;
  return static_cast<Tunnel*>(tunnel_context)->Bytes();
}

extern "C" void Zelmo_SetNetInfoCallBack(void* tunnel_context, void* user,
                                         ZelmoNetInfoCallBack callback) {
  if (auto owner = FindTunnelOwner(tunnel_context))
    static_cast<Tunnel*>(tunnel_context)->SetNetInfoCallback(user, callback);
}

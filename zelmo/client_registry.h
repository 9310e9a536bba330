// The live clients, by the handles the host program holds, and the tunnel
// contexts they handed out. Handles are resolved only here: a stale or stray
// handle is refused without its memory being read, and a call holds the client
// it resolved until it returns, so a delete on another thread cannot free the
// client under that call. The registry is never destroyed, so clients still
// live when the process ends are left alone.
#pragma once
#include <memory>

namespace zelmo {

class ClientState;

void RegisterClient(const void* handle, const std::shared_ptr<ClientState>& client);
// Enters a tunnel context of a registered client; false when the client has
// been forgotten meanwhile.
bool RegisterTunnel(const void* context, const void* client_handle);
// The client behind a handle, or null.
std::shared_ptr<ClientState> FindClient(const void* handle);
// The client that handed out a tunnel context, or null.
std::shared_ptr<ClientState> FindTunnelOwner(const void* context);
// Removes the client and its tunnel contexts.
void ForgetClient(const void* handle);

}  // namespace zelmo

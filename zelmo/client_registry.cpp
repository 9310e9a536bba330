// Client registry (see client_registry.h). One lock over two small maps; a
// client holds at most a few tunnel contexts, one per tunnel it ever opened.
#include "zelmo/client_registry.h"

#include <map>
#include <mutex>

namespace zelmo {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<const void*, std::shared_ptr<ClientState>> clients;
  std::map<const void*, const void*> tunnels;  // context -> client handle
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

void RegisterClient(const void* handle, const std::shared_ptr<ClientState>& client) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.clients[handle] = client;
}

bool RegisterTunnel(const void* context, const void* client_handle) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (registry.clients.count(client_handle) == 0)
    return false;
  registry.tunnels[context] = client_handle;
  return true;
}

std::shared_ptr<ClientState> FindClient(const void* handle) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.clients.find(handle);
  return found == registry.clients.end() ? nullptr : found->second;
}

std::shared_ptr<ClientState> FindTunnelOwner(const void* context) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto tunnel = registry.tunnels.find(context);
  if (tunnel == registry.tunnels.end())
    return nullptr;
  auto client = registry.clients.find(tunnel->second);
  return client == registry.clients.end() ? nullptr : client->second;
}

void ForgetClient(const void* handle) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.clients.erase(handle);
  for (auto it = registry.tunnels.begin(); it != registry.tunnels.end();) {
    it = it->second == handle ? registry.tunnels.erase(it) : std::next(it);
  }
}

}  // namespace zelmo

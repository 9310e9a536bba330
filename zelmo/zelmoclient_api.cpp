// zelmoclient: clients, device list and tunnels, the C interface of
// zelmo/zelmo_api.h over the client of client.h.
//
// Our choices where the interface leaves them open:
// - Zelmo_ListMyDeviceV3 lists all devices of the account (at most 64) whatever
//   the device name; it returns 0, or -1 when the cloud did not answer.
// - Zelmo_ClientTryConnectDeviceViaTennelV3 returns 0, or -1 for a bad handle or
//   an empty serial. A client holds one tunnel at a time; asking again while it
//   is opening or open changes nothing, asking after it closed opens a new one
//   (the old context stays valid until the client is deleted).
// - Zelmo_DeleteClient returns 0, or -1 for a handle that is not a live client
//   (never made, already deleted, or being deleted by another thread).
#include "zelmo/client.h"
#include "zelmo/client_registry.h"
#include "zelmo/zelmo_api.h"

using zelmo::FindClient;

extern "C" void* Zelmo_CreateClientV3(const char* user, const char* password, const char* server) {
  return zelmo::CreateClient(user, password, server);
}

extern "C" void Zelmo_SetClientTunnelConnectedCallBack(void* client, void* user,
                                                       ZelmoTunnelConnectedCallBack callback) {
  if (auto state = FindClient(client))
    state->SetConnectedCallback(user, callback);
}

extern "C" void Zelmo_SetClientTunnelClosedCallBack(void* client, void* user,
                                                    ZelmoTunnelClosedCallBack callback) {
  if (auto state = FindClient(client))
    state->SetClosedCallback(user, callback);
}

extern "C" int Zelmo_ListMyDeviceV3(void* client, const char*) {
  auto state = FindClient(client);
  if (state == nullptr)
    return -1;
  return state->RefreshDevices();
}

extern "C" int Zelmo_ClientTryConnectDeviceViaTennelV3(void* client, const char* device_sn) {
  auto state = FindClient(client);
  if (state == nullptr || device_sn == nullptr || device_sn[0] == '\0')
    return -1;
  state->TryConnect(device_sn);
  return 0;
}

extern "C" int Zelmo_DeleteClient(void* client) {
  return zelmo::DeleteClient(client);
}

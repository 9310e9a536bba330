// Device connection and tunnel callbacks (see device_connect.h). The session is
// found or claimed in one step under the tables' mutex, so two requests for a
// new device make one session and one client; the library, which may take
// seconds to create a client, is called outside that lock.
#include "gateway/tunnel/device_connect.h"

#include <cstring>

#include "gateway/log/log_escape.h"
#include "gateway/log/write_log.h"
#include "gateway/service/service_urls.h"
#include "gateway/tunnel/notices.h"
#include "gateway/tunnel/port_map.h"
#include "gateway/tunnel/session_table.h"
#include "zelmo/zelmo_api.h"

namespace {

// The seven port rules in the order they are made, each searched upward from its
// start value; where the rule's local port is kept (HttpMapPort's is not).
struct PortRule {
  const char* name;
  int start;
  int32_t SessionPorts::*kept;
};
constexpr PortRule kPortRules[] = {
    {"HttpPort", 8080, &SessionPorts::HttpPort},
    {"RTSPPort", 5554, &SessionPorts::RTSPPort},
    {"MediaPort", 7070, &SessionPorts::MediaPort},
    {"SdkMapPort", 6060, &SessionPorts::SdkMapPort},
    {"HttpMapPort", 4443, nullptr},
    {"AccessIpcHTTPPort", 8081, &SessionPorts::AccessIpcHTTPPort},
    {"AccessIpcRTSPPort", 5555, &SessionPorts::AccessIpcRTSPPort},
};

const char* ChooseServer(int service_center, const char* http_ip) {
  if (http_ip != nullptr && http_ip[0] != '\0')
    return http_ip;
  return ServiceUrl(service_center);
}

// Creates the client for a claimed record and starts its tunnel. The record
// holds a use while the callbacks are registered, so the reaper cannot delete
// the client under us should the session be doomed meanwhile.
int OpenClient(int index, const char* user_name, const char* passwd, const char* device_sn,
               const char* device_name, const char* server) {
  void* client = server != nullptr ? Zelmo_CreateClientV3(user_name, passwd, server) : nullptr;
  if (client == nullptr) {
    AbandonClaim(index);
    char shown[kLogValueCapacity];
    WriteLog(3, "CreateClient fail.deviceSN is %s.", EscapeForLog(device_sn, shown, sizeof shown));
    return -1;
  }
  CompleteClaim(index, client);
  Zelmo_SetClientTunnelConnectedCallBack(client, client, CloudTunnelConnetedCallBackFun);
  Zelmo_SetClientTunnelClosedCallBack(client, client, CloudTunnelClosedCallBackFun);
  Zelmo_ListMyDeviceV3(client, device_name);
  Zelmo_ClientTryConnectDeviceViaTennelV3(client, device_sn);
  ReleaseSession(index);
  char shown[kLogValueCapacity];
  WriteLog(6, "Call CloudTryConnectDevice function OK.deviceSN is %s.",
           EscapeForLog(device_sn, shown, sizeof shown));
  return index;
}

// Copies the serial of the device list entry whose TunnelId is tunnel_id into
// serial (kZelmoEntrySerialSize bytes); false when there is none. Entries are
// copied whole, as the library may rewrite the list meanwhile.
bool FindTunnelSerial(void* client, const char* tunnel_id, char* serial) {
  char entry[kZelmoDeviceEntrySize];
  for (int i = 0; Zelmo_CopyDeviceEntry(client, i, entry) == 0; ++i) {
    if (strncmp(ZelmoEntryTunnelId(entry), tunnel_id, kZelmoEntryTunnelIdSize) != 0)
      continue;
    std::memcpy(serial, ZelmoEntrySerial(entry), kZelmoEntrySerialSize);
    serial[kZelmoEntrySerialSize - 1] = '\0';
    return true;
  }
  return false;
}

SessionPorts MapTunnelPorts(void* client, const char* tunnel_id) {
  SessionPorts ports = {};
  for (const PortRule& rule : kPortRules) {
    int port = rule.start;
    MapDevicePort(client, tunnel_id, rule.name, &port);
    if (rule.kept != nullptr)
      ports.*rule.kept = port;
  }
  return ports;
}

}  // namespace

int CloudTryConnectDevice(const char* user_name, const char* passwd, const char* device_sn,
                          const char* device_name, int service_center, const char* http_ip) {
  UrlIndex.store(service_center);
  if (!IsStorableDeviceText(device_sn) || !IsStorableDeviceText(device_name))
    return -1;
  bool existed = false;
  int index = FindOrClaimSession(device_sn, device_name, &existed);
  if (index < 0)
    return -1;
  if (existed) {
    char shown[kLogValueCapacity];
    WriteLog(6, "device session existed.devicesn is %s.",
             EscapeForLog(device_sn, shown, sizeof shown));
    return index;
  }
  return OpenClient(index, user_name, passwd, device_sn, device_name,
                    ChooseServer(service_center, http_ip));
}

int CloudTunnelConnetedCallBackFun(void* client, const char* tunnel_id) {
  Zelmo_SetNetInfoCallBack(ZelmoTunnelContext(client), client, NetInfoEvent);
  char serial[kZelmoEntrySerialSize];
  if (!FindTunnelSerial(client, tunnel_id, serial))
    return -1;
  SessionPorts ports = MapTunnelPorts(client, tunnel_id);
  SetSerialPorts(serial, ports);
  WriteLog(6, "Call CloudTunnelConnetedCallBackFun() function OK!");
  return 0;
}

int CloudTunnelClosedCallBackFun(void* client) {
  DoomClientSessions(client);
  WriteLog(6, "Call CloudTunnelClosedCallBackFun() function OK!");
  return 1;
}

// The device session tables and their lookups (see session_table.h). Every
// exported step takes SessionTableMutex once and does its whole update under it;
// the lookups themselves expect the caller to hold it.
#include "gateway/tunnel/session_table.h"

#include <cstring>

std::atomic<int32_t> UrlIndex{0};
std::mutex SessionTableMutex;
CLIENTDEVICE_HANDLE DeviceSessions[kSessionCount];
CLIENTDEVICE_HANDLE DeviceLoopCounts[kSessionCount];

namespace {

bool IsVisible(const CLIENTDEVICE_HANDLE& r) {
  return r.Phase == kSessionCreating || r.Phase == kSessionLive;
}

void CopyDeviceText(char* field, const char* text) {
  std::memset(field, 0, kDeviceTextSize);
  std::strncpy(field, text, kDeviceTextSize - 1);
}

}  // namespace

void ClearSessionTables() {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  std::memset(DeviceSessions, 0, sizeof DeviceSessions);
  std::memset(DeviceLoopCounts, 0, sizeof DeviceLoopCounts);
}

bool IsStorableDeviceText(const char* text) {
  if (text == nullptr || text[0] == '\0')
    return false;
  return std::strlen(text) < static_cast<size_t>(kDeviceTextSize);
}

int FindDeviceSession(const char* sn, const char* name) {
  for (int i = 0; i < kSessionCount; ++i) {
    const CLIENTDEVICE_HANDLE& r = DeviceSessions[i];
    if (!IsVisible(r))
      continue;
    if (std::strncmp(r.DeviceSn, sn, kSnMatchLength) == 0 && std::strcmp(r.DeviceName, name) == 0) {
      return i;
    }
  }
  return -1;
}

int FindFreeSession() {
  for (int i = 0; i < kSessionCount; ++i) {
    if (DeviceSessions[i].Phase == kSessionFree)
      return i;
  }
  return -1;
}

int FindClientSession(const void* client) {
  int found = -1;
  ForEachClientSession(client, [&found](int i) {
    if (found < 0)
      found = i;
  });
  return found;
}

int FindLoopCount(const char* sn, const char* name) {
  // An empty record holds empty texts; an empty serial names no device.
  if (sn[0] == '\0')
    return -1;
  for (int i = 0; i < kSessionCount; ++i) {
    const CLIENTDEVICE_HANDLE& r = DeviceLoopCounts[i];
    if (std::strcmp(r.DeviceSn, sn) == 0 && std::strcmp(r.DeviceName, name) == 0)
      return i;
  }
  return -1;
}

int AcquireDeviceSession(const char* sn, const char* name, SessionView* view) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  int i = FindDeviceSession(sn, name);
  if (i < 0)
    return -1;
  CLIENTDEVICE_HANDLE& r = DeviceSessions[i];
  ++r.UseCount;
  view->ClientHandle = r.ClientHandle;
  std::memcpy(view->DeviceSn, r.DeviceSn, kDeviceTextSize);
  std::memcpy(view->DeviceName, r.DeviceName, kDeviceTextSize);
  view->TunnelReady = r.TunnelReady;
  view->Ports = {r.HttpPort,  r.RTSPPort,          r.SdkMapPort,
                 r.MediaPort, r.AccessIpcHTTPPort, r.AccessIpcRTSPPort};
  return i;
}

void ReleaseSession(int index) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  CLIENTDEVICE_HANDLE& r = DeviceSessions[index];
  if (--r.UseCount == 0 && r.Phase == kSessionAbandoned)
    std::memset(&r, 0, sizeof r);
}

void CountWaitingRequest(int index, int* looptime, int* looptimeall) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  CLIENTDEVICE_HANDLE& r = DeviceSessions[index];
  *looptime = ++r.looptime;
  int c = FindLoopCount(r.DeviceSn, r.DeviceName);
  *looptimeall = c >= 0 ? ++DeviceLoopCounts[c].looptime : 0;
}

void DoomSession(int index) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  DeviceSessions[index].IdleCountdown = 0;
}

void MarkRedirectSent(const char* sn, const char* name) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  int c = FindLoopCount(sn, name);
  if (c >= 0)
    DeviceLoopCounts[c].looptime = GiveUpLimit;
}

int FindOrClaimSession(const char* sn, const char* name, bool* existed) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  int i = FindDeviceSession(sn, name);
  *existed = i >= 0;
  if (i >= 0)
    return i;
  i = FindFreeSession();
  if (i < 0)
    return -1;
  CLIENTDEVICE_HANDLE& r = DeviceSessions[i];
  std::memset(&r, 0, sizeof r);
  r.Phase = kSessionCreating;
  CopyDeviceText(r.DeviceSn, sn);
  CopyDeviceText(r.DeviceName, name);
  r.IdleCountdown = kIdleStart;
  return i;
}

void CompleteClaim(int index, void* client) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  CLIENTDEVICE_HANDLE& r = DeviceSessions[index];
  r.ClientHandle = client;
  r.Phase = kSessionLive;
  ++r.UseCount;
  if (FindLoopCount(r.DeviceSn, r.DeviceName) >= 0)
    return;
  CLIENTDEVICE_HANDLE& c = DeviceLoopCounts[index];
  std::memset(&c, 0, sizeof c);
  std::memcpy(c.DeviceSn, r.DeviceSn, kDeviceTextSize);
  std::memcpy(c.DeviceName, r.DeviceName, kDeviceTextSize);
}

void AbandonClaim(int index) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  CLIENTDEVICE_HANDLE& r = DeviceSessions[index];
  int32_t users = r.UseCount;
  std::memset(&r, 0, sizeof r);
  if (users == 0)
    return;
  r.Phase = kSessionAbandoned;
  r.UseCount = users;
}

int SessionNameOfClient(const void* client, char* name_out) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  int i = FindClientSession(client);
  if (i < 0)
    return -1;
  std::memcpy(name_out, DeviceSessions[i].DeviceName, kDeviceTextSize);
  return 0;
}

void SetSerialPorts(const char* sn, const SessionPorts& ports) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  ForEachSerialSession(sn, [&ports](int i) {
    CLIENTDEVICE_HANDLE& r = DeviceSessions[i];
    r.HttpPort = ports.HttpPort;
    r.RTSPPort = ports.RTSPPort;
    r.SdkMapPort = ports.SdkMapPort;
    r.MediaPort = ports.MediaPort;
    r.AccessIpcHTTPPort = ports.AccessIpcHTTPPort;
    r.AccessIpcRTSPPort = ports.AccessIpcRTSPPort;
    r.TunnelReady = 1;
  });
}

void DoomClientSessions(const void* client) {
  std::lock_guard<std::mutex> lock(SessionTableMutex);
  ForEachClientSession(client, [](int i) {
    DeviceSessions[i].IdleCountdown = 0;
    DeviceSessions[i].TunnelClosed = 1;
  });
}

// The device session tables and their lookups (see session_table.h). Every
// exported step takes Sessions.Mutex once and does its whole update under it;
// the lookups themselves expect the caller to hold it.
#include "gateway/tunnel/session_table.h"

#include <cstring>

std::atomic<int32_t> UrlIndex{0};
SessionTables Sessions;

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
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  std::memset(Sessions.DeviceSessions, 0, sizeof Sessions.DeviceSessions);
  std::memset(Sessions.DeviceLoopCounts, 0, sizeof Sessions.DeviceLoopCounts);
}

bool IsStorableDeviceText(const char* text) {
  if (text == nullptr || text[0] == '\0')
    return false;
  return std::strlen(text) < static_cast<size_t>(kDeviceTextSize);
}

int FindDeviceSession(const char* sn, const char* name) {
  for (int i = 0; i < kSessionCount; ++i) {
    const CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
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
    if (Sessions.DeviceSessions[i].Phase == kSessionFree)
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
    const CLIENTDEVICE_HANDLE& r = Sessions.DeviceLoopCounts[i];
    if (std::strcmp(r.DeviceSn, sn) == 0 && std::strcmp(r.DeviceName, name) == 0)
      return i;
  }
  return -1;
}

int AcquireDeviceSession(const char* sn, const char* name, SessionView* view) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  int i = FindDeviceSession(sn, name);
  if (i < 0)
    return -1;
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
  ++r.UseCount;
  view->ClientHandle = r.ClientHandle;
  std::memcpy(view->DeviceSn, r.DeviceSn, kDeviceTextSize);
  std::memcpy(view->DeviceName, r.DeviceName, kDeviceTextSize);
  // Ready means a client to serve it: a record still being created has none.
  view->TunnelReady = r.Phase == kSessionLive ? r.TunnelReady : 0;
  view->Ports = {r.HttpPort,  r.RTSPPort,          r.SdkMapPort,
                 r.MediaPort, r.AccessIpcHTTPPort, r.AccessIpcRTSPPort};
  return i;
}

void ReleaseSession(int index) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[index];
  if (--r.UseCount == 0 && r.Phase == kSessionAbandoned)
    std::memset(&r, 0, sizeof r);
}

SessionHold::SessionHold(const char* sn, const char* name) {
  std::memset(&view_, 0, sizeof view_);
  index_ = AcquireDeviceSession(sn, name, &view_);
}

SessionHold::~SessionHold() {
  if (index_ >= 0)
    ReleaseSession(index_);
}

void CountWaitingRequest(int index, int* looptime, int* looptimeall) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[index];
  *looptime = ++r.looptime;
  r.UnaskedPasses = 0;
  int c = FindLoopCount(r.DeviceSn, r.DeviceName);
  *looptimeall = c >= 0 ? ++Sessions.DeviceLoopCounts[c].looptime : 0;
}

void DoomSession(int index) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  Sessions.DeviceSessions[index].IdleCountdown = 0;
}

void MarkRedirectSent(const char* sn, const char* name) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  int c = FindLoopCount(sn, name);
  if (c >= 0)
    Sessions.DeviceLoopCounts[c].looptime = GiveUpLimit;
}

int FindOrClaimSession(const char* sn, const char* name, bool* existed) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  int i = FindDeviceSession(sn, name);
  *existed = i >= 0;
  if (i >= 0)
    return i;
  i = FindFreeSession();
  if (i < 0)
    return -1;
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
  std::memset(&r, 0, sizeof r);
  r.Phase = kSessionCreating;
  CopyDeviceText(r.DeviceSn, sn);
  CopyDeviceText(r.DeviceName, name);
  r.IdleCountdown = kIdleStart;
  return i;
}

void CompleteClaim(int index, void* client) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[index];
  r.ClientHandle = client;
  r.Phase = kSessionLive;
  ++r.UseCount;
  if (FindLoopCount(r.DeviceSn, r.DeviceName) >= 0)
    return;
  CLIENTDEVICE_HANDLE& c = Sessions.DeviceLoopCounts[index];
  std::memset(&c, 0, sizeof c);
  std::memcpy(c.DeviceSn, r.DeviceSn, kDeviceTextSize);
  std::memcpy(c.DeviceName, r.DeviceName, kDeviceTextSize);
}

void AbandonClaim(int index) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[index];
  int32_t users = r.UseCount;
  std::memset(&r, 0, sizeof r);
  if (users == 0)
    return;
  r.Phase = kSessionAbandoned;
  r.UseCount = users;
}

int SessionNameOfClient(const void* client, char* name_out) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  int i = FindClientSession(client);
  if (i < 0)
    return -1;
  std::memcpy(name_out, Sessions.DeviceSessions[i].DeviceName, kDeviceTextSize);
  return 0;
}

void SetSerialPorts(const char* sn, const SessionPorts& ports) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  ForEachSerialSession(sn, [&ports](int i) {
    CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
    // A record whose client is still being created is left connecting: its own
    // tunnel marks it ready once its client exists.
    if (r.Phase != kSessionLive)
      return;
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
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  ForEachClientSession(client, [](int i) {
    Sessions.DeviceSessions[i].IdleCountdown = 0;
    Sessions.DeviceSessions[i].TunnelClosed = 1;
  });
}

// Session reaper pass (see session_reaper.h). The table is read and updated
// under Sessions.Mutex; the library (traffic counter, client deletion) is
// called outside it. Only the reaper takes a record out of kSessionLive, so a
// record it saw live stays the same session between its locked steps.
#include "gateway/tunnel/session_reaper.h"

#include <cstring>

#include "gateway/log/write_log.h"
#include "gateway/tunnel/session_table.h"
#include "zelmo/zelmo_api.h"

namespace {

constexpr int kCounterKindTraffic = 1;
constexpr int64_t kTrafficThreshold = 70;

// Lock held. The record is due: mark it for deletion, or leave it doomed for a
// later pass while a worker still reads its client.
bool ChooseForDeletion(CLIENTDEVICE_HANDLE& r) {
  if (r.UseCount > 0) {
    r.IdleCountdown = 0;
    return false;
  }
  r.Phase = kSessionDeleting;
  return true;
}

// A session whose client never got a tunnel: deleted only once doomed.
bool DueWithoutTunnel(int i) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
  if (r.Phase != kSessionLive || r.IdleCountdown > 0)
    return false;
  return ChooseForDeletion(r);
}

bool CountDown(int i, int64_t counter) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
  if (r.Phase != kSessionLive)
    return false;
  // Wrapping difference: a counter that went down reads as idle, never as a trap.
  int64_t growth =
      static_cast<int64_t>(static_cast<uint64_t>(counter) - static_cast<uint64_t>(r.LastT2UCount));
  r.LastT2UCount = counter;
  // Growth seen after a close was carried before it: a closed tunnel's ports
  // no longer forward, so its session goes now rather than in 120 passes.
  if (r.TunnelClosed)
    return ChooseForDeletion(r);
  if (growth > kTrafficThreshold) {
    r.IdleCountdown = kIdleStart;
    return false;
  }
  if (--r.IdleCountdown > 0)
    return false;
  return ChooseForDeletion(r);
}

void DeleteSession(int i, void* client) {
  Zelmo_DeleteClient(client);
  int c;
  {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
    c = FindLoopCount(r.DeviceSn, r.DeviceName);
    if (c >= 0 && Sessions.DeviceLoopCounts[c].looptime >= GiveUpLimit) {
      std::memset(&Sessions.DeviceLoopCounts[c], 0, sizeof Sessions.DeviceLoopCounts[c]);
    } else {
      c = -1;
    }
    std::memset(&r, 0, sizeof r);
  }
  if (c >= 0)
    WriteLog(6, "DeleteClientHandle4Count[%d:%d]", c, i);
  WriteLog(6, "DeleteClientHandle[%d]", i);
}

// Lock held. A connecting session nobody asked for in kUnaskedConnectingPasses
// is doomed; true when this pass doomed it.
bool DoomUnasked(CLIENTDEVICE_HANDLE& r) {
  if (r.TunnelReady != 0 || r.IdleCountdown <= 0)
    return false;
  if (++r.UnaskedPasses < kUnaskedConnectingPasses)
    return false;
  r.IdleCountdown = 0;
  return true;
}

void ReapSession(int i) {
  void* client;
  char sn[kDeviceTextSize];
  bool unasked;
  {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
    if (r.Phase != kSessionLive)
      return;
    client = r.ClientHandle;
    unasked = DoomUnasked(r);
    std::memcpy(sn, r.DeviceSn, sizeof sn);
  }
  if (unasked)
    WriteLog(6, "Session[%d] of %s doomed: still connecting and not asked for in %d passes", i, sn,
             kUnaskedConnectingPasses);
  void* context = ZelmoTunnelContext(client);
  bool due = context == nullptr ? DueWithoutTunnel(i)
                                : CountDown(i, Zelmo_GetT2UCounter(context, kCounterKindTraffic));
  if (due)
    DeleteSession(i, client);
}

}  // namespace

void ReapSessions() {
  for (int i = 0; i < kSessionCount; ++i)
    ReapSession(i);
}

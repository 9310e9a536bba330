// The device session tables. DeviceSessions holds one record per device the
// gateway has opened a client for; DeviceLoopCounts remembers per device how
// many browser requests had to wait for its tunnel, across its sessions.
//
// Both tables, and every field of their records, are guarded by
// Sessions.Mutex. Workers, the tunnel library's callback threads and the
// reaper all go through the functions below, each of which is one atomic step
// under that mutex. The mutex is never held while the tunnel library is called:
// the library runs our callbacks on its own threads and they take it too.
//
// A record is free when it is all zero (Phase kSessionFree). A worker that
// creates a session claims its record first (kSessionCreating, the device's
// texts already in place, so a second request for the device finds it) and
// creates the library client outside the lock. When that fails while another
// worker holds the record, the record is abandoned: invisible, and cleared by
// the last worker that releases it. The reaper marks a record it is
// deleting kSessionDeleting; such a record is invisible to every lookup until the
// reaper clears it. A record's UseCount counts the workers still reading its
// client; the reaper never deletes a record in use.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

constexpr int kSessionCount = 64;
constexpr int kDeviceTextSize = 64;  // DeviceSn and DeviceName, NUL included
constexpr int kSnMatchLength = 20;   // a session matches a serial on this prefix
constexpr int kIdleStart = 120;      // reaper passes an idle session lives
constexpr int GiveUpLimit = 45;      // waiting requests still answered with trystun
// A session still connecting that no request asked for in this many reaper passes
// (a second or more apart: 10 minutes) is doomed, so tunnels that never come up
// cannot hold the table.
constexpr int kUnaskedConnectingPasses = 600;

enum SessionPhase : int32_t {
  kSessionFree = 0,
  kSessionCreating = 1,   // claimed; the library client is being created
  kSessionLive = 2,       // ClientHandle set (connecting, ready or doomed)
  kSessionDeleting = 3,   // chosen by the reaper; no lookup sees it
  kSessionAbandoned = 4,  // creation failed while a worker held it; cleared at its release
};

struct CLIENTDEVICE_HANDLE {
  void* ClientHandle;  // CloudTryConnectDevice; null until the client exists
  char DeviceSn[kDeviceTextSize];
  char DeviceName[kDeviceTextSize];
  int32_t TunnelReady;  // connected callback, after the ports
  int32_t HttpPort;     // the six ports: connected callback
  int32_t RTSPPort;
  int32_t SdkMapPort;
  int32_t MediaPort;
  int32_t AccessIpcHTTPPort;
  int32_t AccessIpcRTSPPort;
  int64_t LastT2UCount;   // reaper
  int32_t IdleCountdown;  // 120 at creation; reaper; 0 from the closed callback or a give-up
  int32_t looptime;       // workers; in DeviceLoopCounts the device's running total
  int32_t Phase;          // SessionPhase
  int32_t UseCount;       // workers holding the record (AcquireDeviceSession)
  int32_t TunnelClosed;   // closed callback: its counter can no longer grow
  int32_t UnaskedPasses;  // reaper passes while connecting since the last waiting request
};

// The ports a session's tunnel forwards, in the record's order.
struct SessionPorts {
  int32_t HttpPort;
  int32_t RTSPPort;
  int32_t SdkMapPort;
  int32_t MediaPort;
  int32_t AccessIpcHTTPPort;
  int32_t AccessIpcRTSPPort;
};

// What a worker copies out of a session it holds.
struct SessionView {
  void* ClientHandle;
  char DeviceSn[kDeviceTextSize];
  char DeviceName[kDeviceTextSize];
  int32_t TunnelReady;
  SessionPorts Ports;
};

// Service centre number of the latest connect request, whichever device it was
// for; picks the service when a request names no server, and goes into notices.
extern std::atomic<int32_t> UrlIndex;

// The two tables and the mutex that guards them.
struct SessionTables {
  std::mutex Mutex;
  CLIENTDEVICE_HANDLE DeviceSessions[kSessionCount];
  CLIENTDEVICE_HANDLE DeviceLoopCounts[kSessionCount];
};
extern SessionTables Sessions;

// Start-up: both tables all zero.
void ClearSessionTables();

// A device text fits a record field and can be told from a free record's.
bool IsStorableDeviceText(const char* text);

// The six lookups; each returns the lowest matching index or -1 (the "all"
// forms call back for every match). Callers hold Sessions.Mutex. Records
// being created count as the device's session; records being deleted match none.
int FindDeviceSession(const char* sn, const char* name);  // sn on its first 20 characters
int FindFreeSession();
int FindClientSession(const void* client);
template <typename Fn>
void ForEachClientSession(const void* client, Fn fn);
template <typename Fn>
void ForEachSerialSession(const char* sn, Fn fn);     // whole serial; never an empty one
int FindLoopCount(const char* sn, const char* name);  // both texts exact

// Worker side. AcquireDeviceSession finds the device's session, takes a use of
// it and copies it into view; -1 when there is none. Every acquired index is
// given back with ReleaseSession; workers do both through a SessionHold.
int AcquireDeviceSession(const char* sn, const char* name, SessionView* view);
void ReleaseSession(int index);

// A worker's use of a device's session for as long as it serves the request:
// taken when the hold is made (if the device has a session), given back once
// when it ends, whichever way the request ends. The reaper never deletes a
// session in use, so the client in view() stays valid meanwhile.
class SessionHold {
 public:
  SessionHold(const char* sn, const char* name);
  ~SessionHold();
  SessionHold(const SessionHold&) = delete;
  SessionHold& operator=(const SessionHold&) = delete;

  bool held() const { return index_ >= 0; }
  int index() const { return index_; }
  const SessionView& view() const { return view_; }

 private:
  SessionView view_;
  int index_;
};
// One more waiting request for a held session: its looptime and the device's
// running total go up by one; *looptimeall is 0 when the device has no record.
void CountWaitingRequest(int index, int* looptime, int* looptimeall);
void DoomSession(int index);  // IdleCountdown 0: the reaper takes it
// The device's running total set to GiveUpLimit once its redirect went out.
void MarkRedirectSent(const char* sn, const char* name);

// Session creation: the device's existing session (*existed true), or a free
// record claimed for it with its texts and IdleCountdown in place (*existed
// false); -1 when the table is full.
int FindOrClaimSession(const char* sn, const char* name, bool* existed);
// The claimed record's client was created: the record becomes live and holds a
// use (released by the creator once it has registered its callbacks); the
// device gets a loop count record at the same index when it has none.
void CompleteClaim(int index, void* client);
// Creation failed: the record is all zero again, at once or, while a worker
// holds it, at that worker's release.
void AbandonClaim(int index);

// Callback side.
int SessionNameOfClient(const void* client, char* name_out);     // 0, or -1 without a session
void SetSerialPorts(const char* sn, const SessionPorts& ports);  // ports, then TunnelReady 1
void DoomClientSessions(const void* client);                     // and marks their tunnels closed

template <typename Fn>
void ForEachClientSession(const void* client, Fn fn) {
  for (int i = 0; i < kSessionCount; ++i) {
    const CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
    if (r.ClientHandle == client && r.Phase == kSessionLive)
      fn(i);
  }
}

template <typename Fn>
void ForEachSerialSession(const char* sn, Fn fn) {
  if (sn[0] == '\0')
    return;
  for (int i = 0; i < kSessionCount; ++i) {
    const CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
    bool visible = r.Phase == kSessionCreating || r.Phase == kSessionLive;
    if (visible && std::strcmp(r.DeviceSn, sn) == 0)
      fn(i);
  }
}

// Connection pipeline (see handle_connection.h). Each step is a function that
// returns 0 to go on or -1 to end the worker; a step that ends it has logged
// why. The worker keeps all its buffers on its own stack.
#include "gateway/server/handle_connection.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gateway/check/check_code.h"
#include "gateway/check/host_check.h"
#include "gateway/check/local_ip.h"
#include "gateway/check/query_parser.h"
#include "gateway/check/service_clock.h"
#include "gateway/log/log_escape.h"
#include "gateway/log/write_log.h"
#include "gateway/server/replies.h"
#include "gateway/server/startup_paths.h"
#include "gateway/server/worker_slots.h"
#include "gateway/tunnel/device_connect.h"
#include "gateway/tunnel/session_table.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "zelmo/zelmo_api.h"

int ReceiveWaitMs = 30000;

namespace {

// A request naming a host other than this computer comes from a page that
// rebound its own name to this computer; it gets no reply.
int CheckHost(const char* text) {
  char host[kHostCapacity];
  int found = FindHostHeader(text, host);
  if (found == 0 || (found == 1 && IsOwnHost(host)))
    return 0;
  char shown[kLogValueCapacity];
  WriteLog(3, "Refused request for host %s",
           found == 1 ? EscapeForLog(host, shown, sizeof shown) : "(too long)");
  return -1;
}

// Reads one request, skipping the browser's icon requests on the same
// connection, all within ReceiveWaitMs from the start, so icon requests cannot
// hold a slot for ever. Only the bytes of the latest read are parsed.
int ReceiveRequest(platform::Socket s, RequestParams* params) {
  const int64_t deadline = platform::MonotonicMs() + ReceiveWaitMs;
  for (;;) {
    int64_t left = deadline - platform::MonotonicMs();
    int ready = left > 0 ? platform::WaitReadable(s, static_cast<int>(left)) : 0;
    if (ready < 0)
      return -1;
    char text[kReceiveCapacity];
    std::memset(text, 0, sizeof text);
    // A connection that sends nothing in time ends like a failed read.
    int n = ready == 1 ? platform::SocketRecv(s, text, kReceiveCapacity - 1) : 0;
    if (n <= 0) {
      WriteLog(3, "recv Error!");
      return -1;
    }
    if (CheckHost(text) != 0)
      return -1;
    std::memset(params, 0, sizeof *params);
    int parsed = ParseRequest(text, params);
    if (parsed != -2)
      return parsed == 0 ? 0 : -1;
  }
}

// The device's texts must fit a session record and name a device.
int CheckDeviceTexts(const RequestParams& params) {
  if (IsStorableDeviceText(params.DeviceSn) && IsStorableDeviceText(params.DeviceName))
    return 0;
  WriteLog(3, "Refused device serial or name of %d and %d characters (1 to %d allowed)",
           static_cast<int>(std::strlen(params.DeviceSn)),
           static_cast<int>(std::strlen(params.DeviceName)), kDeviceTextSize - 1);
  return -1;
}

// A decimal text as the log and the clock compare it: leading blanks, a sign,
// digits up to the first other character, no digits 0; held to 32 bits.
int32_t ReadDecimal(const char* text) {
  return static_cast<int32_t>(platform::ParseClampedDecimal(text, INT32_MIN, INT32_MAX));
}

// t is the moment until which the request is valid: it must not be behind the
// service's clock.
int CheckFreshness(const RequestParams& params) {
  char url[kClockUrlCapacity];
  char service_time[kServiceTimeCapacity];
  if (QueryServiceTime(params, url, service_time) != 0)
    return -1;
  char shown_t[kLogValueCapacity];
  char shown_time[kLogValueCapacity];
  WriteLog(6, "t is %s|%s", EscapeForLog(params.t, shown_t, sizeof shown_t),
           EscapeForLog(service_time, shown_time, sizeof shown_time));
  if (ReadDecimal(params.t) >= ReadDecimal(service_time))
    return 0;
  WriteLog(6, "t is error!!!!!!!!!!!!!!!!!!!!!");
  return -1;
}

int SendGiveUpPage(platform::Socket s) {
  SendPageFile(TryStunFailedPath, s);
  return -1;
}

// No session yet, or one still connecting within the wait limit: the page that
// has the browser ask again goes out before the device connection is tried.
int ServeNewConnection(platform::Socket s, const RequestParams& params) {
  if (SendPageFile(TryStunPath, s) != 0)
    return -1;
  if (CloudTryConnectDevice(params.UserName, params.PassWd, params.DeviceSn, params.DeviceName,
                            ReadDecimal(params.ServiceCenter), params.HttpIP) >= 0) {
    return 0;
  }
  WriteLog(3, "CLIENTDEVICE_HANDLE is full!");
  return -1;
}

// The session is still not up: one more waiting request, or the give-up.
int ServeWaiting(platform::Socket s, const RequestParams& params, const SessionHold& hold) {
  int looptime = 0, looptimeall = 0;
  CountWaitingRequest(hold.index(), &looptime, &looptimeall);
  WriteLog(6, "looptime:%d,looptimeall:%d", looptime, looptimeall);
  if (looptime > GiveUpLimit || looptimeall > GiveUpLimit) {
    if (SendPageFile(TryStunFailedPath, s) == 0)
      DoomSession(hold.index());
    return -1;
  }
  return ServeNewConnection(s, params);
}

struct DeviceLogin {
  char user[kZelmoEntryUserSize];
  char key[kZelmoEntryKeySize];
};

// The user and key of the client's device entry with serial sn, each entry
// copied whole from the library's list; false when the list has no such entry.
bool FindDeviceLogin(void* client, const char* sn, DeviceLogin* login) {
  char entry[kZelmoDeviceEntrySize];
  for (int i = 0; Zelmo_CopyDeviceEntry(client, i, entry) == 0; ++i) {
    if (std::strncmp(ZelmoEntrySerial(entry), sn, kZelmoEntrySerialSize) != 0)
      continue;
    std::memcpy(login->user, ZelmoEntryUser(entry), sizeof login->user);
    std::memcpy(login->key, ZelmoEntryKey(entry), sizeof login->key);
    login->user[sizeof login->user - 1] = '\0';
    login->key[sizeof login->key - 1] = '\0';
    return true;
  }
  return false;
}

// The session's client is read while the session is held, so the reaper cannot
// delete it under us.
bool ReadDeviceLogin(const RequestParams& params, const SessionView& view, DeviceLogin* login) {
  Zelmo_ListMyDeviceV3(view.ClientHandle, params.DeviceName);
  bool found = FindDeviceLogin(view.ClientHandle, params.DeviceSn, login);
  char shown[kLogValueCapacity];
  if (!found)
    WriteLog(3, "No device entry of %s in the device list",
             EscapeForLog(params.DeviceSn, shown, sizeof shown));
  return found;
}

// Builds the redirect reply and its URL; -1 after a level-3 line when the
// device's login cannot stand in the page or the texts do not fit.
int BuildRedirect(const SessionView& view, const char* local_ip, const DeviceLogin& login,
                  char (&reply)[kReplySize], char (&url)[kRedirectUrlSize]) {
  const SessionPorts& p = view.Ports;
  MappedPorts ports = {p.HttpPort,  p.RTSPPort,          p.SdkMapPort,
                       p.MediaPort, p.AccessIpcHTTPPort, p.AccessIpcRTSPPort};
  char record[kPortRecordSize];
  char key2[kKey2Size];
  int built = -1;
  if (FormatPortRecord(record, sizeof record, local_ip, ports) == 0 &&
      FormatKey2(record, key2, sizeof key2) == 0) {
    built = FormatRedirectPage(reply, sizeof reply, p.HttpPort, login.user, login.key, key2);
  }
  if (built == 0)
    built = FormatRedirectUrl(url, sizeof url, p.HttpPort, login.user, login.key, key2);
  char shown[kLogValueCapacity];
  if (built == -2)
    WriteLog(3, "Device user or key of %s cannot stand in the page",
             EscapeForLog(view.DeviceSn, shown, sizeof shown));
  if (built == -1)
    WriteLog(3, "Redirect page of %s does not fit",
             EscapeForLog(view.DeviceSn, shown, sizeof shown));
  return built == 0 ? 0 : -1;
}

// The tunnel is up: send the page that leads the browser to the device.
int ServeReady(platform::Socket s, const RequestParams& params, const char* local_ip,
               const SessionView& view) {
  DeviceLogin login;
  if (!ReadDeviceLogin(params, view, &login))
    return SendGiveUpPage(s);
  char reply[kReplySize];
  char url[kRedirectUrlSize];
  if (BuildRedirect(view, local_ip, login, reply, url) != 0)
    return SendGiveUpPage(s);
  if (SendRedirectReply(s, reply) > 0) {
    MarkRedirectSent(view.DeviceSn, view.DeviceName);
    char shown[kLogValueCapacity];
    WriteLog(6, "HTTP_URL: %s", EscapeForLog(url, shown, sizeof shown));
  }
  return 0;
}

// The device's session stays held until the request is served, whichever step
// ends it.
int ServeDevice(platform::Socket s, const RequestParams& params, const char* local_ip) {
  SessionHold hold(params.DeviceSn, params.DeviceName);
  if (!hold.held())
    return ServeNewConnection(s, params);
  if (hold.view().TunnelReady == 1)
    return ServeReady(s, params, local_ip, hold.view());
  return ServeWaiting(s, params, hold);
}

}  // namespace

int ServeConnection(platform::Socket s) {
  char local_ip[kLocalIpCapacity];
  std::memset(local_ip, 0, sizeof local_ip);
  if (GetLocalIp(local_ip) != 0) {
    WriteLog(3, "GetLocalIp error!");
    return -1;
  }
  RequestParams params;
  if (ReceiveRequest(s, &params) != 0)
    return -1;
  if (CheckRequestCode(params) != 0)
    return -1;
  if (CheckDeviceTexts(params) != 0)
    return -1;
  if (CheckFreshness(params) != 0)
    return -1;
  return ServeDevice(s, params, local_ip);
}

unsigned HandleConnection(void* slot) {
  WorkerSlot* own = static_cast<WorkerSlot*>(slot);
  int code = ServeConnection(own->Socket);
  FinishWorkerSlot(own);
  return static_cast<unsigned>(code);
}

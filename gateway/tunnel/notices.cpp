// Network notices (see notices.h). The sender holds SubscribersMutex over the
// whole round of sends, so an entry it empties is never refilled half-way; the
// sends do not block, so the hold is short.
#include "gateway/tunnel/notices.h"

#include <cstdio>

#include "gateway/log/write_log.h"
#include "gateway/tunnel/session_table.h"

std::mutex SubscribersMutex;
platform::Socket PopupSubscribers[kSubscriberCount];

namespace {

// Called with SubscribersMutex held.
void DropSubscriber(platform::Socket& s) {
  platform::SocketClose(s);
  s = platform::kInvalidSocket;
}

// A notifier never writes, so a readable entry has either ended (end or
// reset) or sent bytes that are read and dropped here, a bounded amount each
// pass. Called with SubscribersMutex held; never waits.
bool HasLeft(platform::Socket s) {
  if (platform::WaitReadable(s, 0) != 1)
    return false;
  char junk[kNoticeCapacity];
  int n = platform::SocketRecv(s, junk, sizeof junk);
  return n == 0 || (n < 0 && !platform::IsWouldBlockError(platform::LastSocketError()));
}

int FreeClosedLocked() {
  int freed = 0;
  for (int i = 0; i < kSubscriberCount; ++i) {
    platform::Socket& s = PopupSubscribers[i];
    if (s == platform::kInvalidSocket || !HasLeft(s))
      continue;
    DropSubscriber(s);
    WriteLog(6, "Notice subscriber %d closed", i);
    ++freed;
  }
  return freed;
}

// Whether s can take length more bytes whole: its backlog stays within
// kSubscriberBacklog (where the system tells) and the send takes all of them.
// A send that takes only part has left half a notice queued.
bool SendWhole(platform::Socket s, const char* notice, int length, int* error) {
  *error = 0;
  int queued = platform::SocketUnsentBytes(s);
  if (queued >= 0 && queued + length > kSubscriberBacklog)
    return false;
  int sent = platform::SocketSend(s, notice, length);
  if (sent < 0)
    *error = platform::LastSocketError();
  return sent == length;
}

// One non-blocking send per subscriber. A peer that aborted or reset is closed
// and emptied; one that cannot take the whole notice at once has stopped
// reading and is dropped with a line, so it never gets half a notice and then
// more; any other failure leaves it be.
void SendToSubscribers(const char* notice, int length) {
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  for (int i = 0; i < kSubscriberCount; ++i) {
    platform::Socket& s = PopupSubscribers[i];
    if (s == platform::kInvalidSocket)
      continue;
    int error = 0;
    if (SendWhole(s, notice, length, &error))
      continue;
    if (platform::IsPeerGoneError(error)) {
      DropSubscriber(s);
      continue;
    }
    if (error == 0 || platform::IsWouldBlockError(error)) {
      DropSubscriber(s);
      WriteLog(3, "Notice subscriber %d dropped: it does not take a whole notice", i);
    }
  }
}

}  // namespace

void ClearPopupSubscribers() {
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  for (platform::Socket& s : PopupSubscribers)
    s = platform::kInvalidSocket;
}

int AddPopupSubscriber(platform::Socket s) {
  platform::SocketSetNonBlocking(s);
  platform::SocketSetSendBuffer(s, kSubscriberSendBuffer);
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < kSubscriberCount; ++i) {
      if (PopupSubscribers[i] != platform::kInvalidSocket)
        continue;
      PopupSubscribers[i] = s;
      return i;
    }
    if (pass == 0 && FreeClosedLocked() == 0)
      break;
  }
  return -1;
}

int FreeClosedSubscribers() {
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  return FreeClosedLocked();
}

int FormatNotice(char* out, const char* device_name, int count_value, int url_index) {
  return std::snprintf(out, kNoticeCapacity,
                       "Info:WindowPopup,Devicename:%s,CountValue:%d,UrlIndex:%d.", device_name,
                       count_value, url_index);
}

int NetInfoEvent(void* client, int event_code, int count_value) {
  char name[kDeviceTextSize];
  if (SessionNameOfClient(client, name) == 0) {
    char notice[kNoticeCapacity] = {};
    int length = FormatNotice(notice, name, count_value, UrlIndex.load());
    SendToSubscribers(notice, length + 1);
  }
  WriteLog(6, "NetInfoEvent %d:%d", event_code, count_value);
  return 0;
}

// Network notices (see notices.h). The sender holds SubscribersMutex over the
// whole round of sends, so an entry it empties is never refilled half-way.
#include "gateway/tunnel/notices.h"

#include <cstdio>

#include "gateway/log/write_log.h"
#include "gateway/tunnel/session_table.h"

std::mutex SubscribersMutex;
platform::Socket PopupSubscribers[kSubscriberCount];

namespace {

// A subscriber whose peer aborted or reset the connection is closed and its
// entry emptied; any other failure, and a partial send, leaves it be.
void SendToSubscribers(const char* notice, int length) {
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  for (platform::Socket& s : PopupSubscribers) {
    if (s == platform::kInvalidSocket)
      continue;
    if (platform::SocketSend(s, notice, length) >= 0)
      continue;
    if (!platform::IsPeerGoneError(platform::LastSocketError()))
      continue;
    platform::SocketClose(s);
    s = platform::kInvalidSocket;
  }
}

}  // namespace

void ClearPopupSubscribers() {
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  for (platform::Socket& s : PopupSubscribers)
    s = platform::kInvalidSocket;
}

int AddPopupSubscriber(platform::Socket s) {
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  for (int i = 0; i < kSubscriberCount; ++i) {
    if (PopupSubscribers[i] != platform::kInvalidSocket)
      continue;
    PopupSubscribers[i] = s;
    return i;
  }
  return -1;
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

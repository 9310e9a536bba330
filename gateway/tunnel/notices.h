// Network notices: NetInfoEvent turns a tunnel's network event into one text
// notice and sends it, with its NUL byte, to every notice subscriber.
// PopupSubscribers and SubscribersMutex sit together: the subscriber listener
// files new subscribers, NetInfoEvent sends and empties entries whose peer left.
#pragma once
#include <mutex>

#include "platform/net.h"

constexpr int kSubscriberCount = 64;
constexpr int kNoticeCapacity = 256;

extern std::mutex SubscribersMutex;
extern platform::Socket PopupSubscribers[kSubscriberCount];  // kInvalidSocket when empty

// Start-up: every entry empty.
void ClearPopupSubscribers();
// Files s in the first empty entry and returns its index; -1 when all are taken.
int AddPopupSubscriber(platform::Socket s);

// "Info:WindowPopup,Devicename:%s,CountValue:%d,UrlIndex:%d." into out
// (kNoticeCapacity bytes); returns its length without the NUL.
int FormatNotice(char* out, const char* device_name, int count_value, int url_index);

// Callback registered for each tunnel; the client handle is the value handed
// back. Returns 0.
int NetInfoEvent(void* client, int event_code, int count_value);

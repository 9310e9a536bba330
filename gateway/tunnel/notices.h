// Network notices: NetInfoEvent turns a tunnel's network event into one text
// notice and sends it, with its NUL byte, to every notice subscriber.
// PopupSubscribers and SubscribersMutex sit together: the subscriber listener
// files new subscribers and frees the entries of notifiers that left;
// NetInfoEvent sends and empties entries whose peer left or fell behind.
// Subscriber sockets do not block: a send runs on the library's thread under
// the mutex, so it must never wait for a notifier that does not read.
#pragma once
#include <mutex>

#include "platform/net.h"

constexpr int kSubscriberCount = 64;
constexpr int kNoticeCapacity = 256;
// A notifier more than kSubscriberBacklog bytes behind (a thousand notices,
// besides what its own receive buffer holds) has stopped reading. The send
// buffer asked for is twice that, so that a notice that passes the check always
// fits whole, whatever the system adds for its own bookkeeping.
constexpr int kSubscriberBacklog = 65536;
constexpr int kSubscriberSendBuffer = 2 * kSubscriberBacklog;

extern std::mutex SubscribersMutex;
extern platform::Socket PopupSubscribers[kSubscriberCount];  // kInvalidSocket when empty

// Start-up: every entry empty.
void ClearPopupSubscribers();
// Files s (made non-blocking, its send buffer capped) in the first empty entry and returns its
// index; -1 when all are taken even after freeing the entries of notifiers that left.
int AddPopupSubscriber(platform::Socket s);
// Closes and empties every entry whose notifier closed or reset its end, with
// a level-6 line each; returns how many.
int FreeClosedSubscribers();

// "Info:WindowPopup,Devicename:%s,CountValue:%d,UrlIndex:%d." into out
// (kNoticeCapacity bytes); returns its length without the NUL.
int FormatNotice(char* out, const char* device_name, int count_value, int url_index);

// Callback registered for each tunnel; the client handle is the value handed
// back. Returns 0.
int NetInfoEvent(void* client, int event_code, int count_value);

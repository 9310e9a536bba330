// Notice subscriber listener (see subscriber_listener.h).
#include "gateway/tunnel/subscriber_listener.h"

#include "gateway/log/write_log.h"
#include "gateway/tunnel/notices.h"
#include "platform/thread.h"

namespace {

constexpr int kBacklog = 64;

platform::Socket Listener = platform::kInvalidSocket;  // set before the thread starts

unsigned ListenLoop(void*) {
  for (;;) {
    int ready = platform::WaitReadable(Listener, kSubscriberSweepMs);
    FreeClosedSubscribers();
    if (ready < 0)
      break;
    if (ready == 0)
      continue;
    int accepted = AcceptSubscriber(Listener);
    if (accepted < 0)
      break;
    if (accepted > 0)
      platform::SleepMs(kSubscriberRetryPauseMs);
  }
  return 0;
}

}  // namespace

platform::Socket OpenSubscriberListener(uint16_t port, int* error) {
  platform::Socket s = platform::TcpSocket();
  if (s == platform::kInvalidSocket) {
    *error = platform::LastSocketError();
    return s;
  }
  if (platform::SocketAllowRebind(s) != 0 || platform::SocketBind(s, "127.0.0.1", port) != 0 ||
      platform::SocketListen(s, kBacklog) != 0) {
    *error = platform::LastSocketError();
    platform::SocketClose(s);
    return platform::kInvalidSocket;
  }
  return s;
}

int AcceptSubscriber(platform::Socket listener) {
  platform::Socket s = platform::SocketAccept(listener);
  if (s == platform::kInvalidSocket) {
    int error = platform::LastSocketError();
    WriteLog(3, "Failed accept() of a notice subscriber,error code :%d", error);
    return platform::IsTransientAcceptError(error) ? 1 : -1;
  }
  int index = AddPopupSubscriber(s);
  if (index < 0) {
    platform::SocketClose(s);
    WriteLog(3, "Notice subscribers full, connection closed");
    return 0;
  }
  WriteLog(6, "Notice subscriber %d connected", index);
  return 0;
}

int StartSubscriberListener(uint16_t port) {
  int error = 0;
  Listener = OpenSubscriberListener(port, &error);
  if (Listener == platform::kInvalidSocket) {
    WriteLog(3, "Failed to listen for notice subscribers on 127.0.0.1:%d,error code :%d", port,
             error);
    return -1;
  }
  platform::ThreadHandle handle;
  uint32_t id;
  if (platform::ThreadStart(ListenLoop, nullptr, &handle, &id) != 0) {
    WriteLog(3, "Create notice listener thread error,error code :%d", platform::LastSystemError());
    platform::SocketClose(Listener);
    return -1;
  }
  return 0;
}

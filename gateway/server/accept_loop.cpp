// Listening socket and accept loop (see accept_loop.h).
#include "gateway/server/accept_loop.h"

#include "gateway/log/write_log.h"
#include "gateway/server/handle_connection.h"
#include "gateway/server/worker_slots.h"

platform::Socket OpenGatewayListener(uint16_t port) {
  platform::Socket s = platform::TcpSocket();
  if (s == platform::kInvalidSocket) {
    WriteLog(3, "Failed socket(),error code :%d", platform::LastSocketError());
    return s;
  }
  // Windows lets a listener bind over connections in TIME_WAIT; POSIX needs a
  // word first, so that a restarted gateway finds its port again.
  platform::SocketAllowRebind(s);
  if (platform::SocketBind(s, "0.0.0.0", port) != 0) {
    WriteLog(3, "Failed bind(),error code :%d", platform::LastSocketError());
    platform::SocketClose(s);
    return platform::kInvalidSocket;
  }
  if (platform::SocketListen(s, kGatewayBacklog) != 0) {
    WriteLog(3, "Failed listen(),error code :%d", platform::LastSocketError());
    platform::SocketClose(s);
    return platform::kInvalidSocket;
  }
  return s;
}

int HandOverConnection(platform::Socket s, WorkerStarter start) {
  int i = ClaimWorkerSlot(s);
  if (i < 0) {
    platform::SocketClose(s);
    WriteLog(3, "All %d worker slots busy, connection closed", kWorkerSlotCount);
    return -1;
  }
  WriteLog(3, "create thread : %d", i);
  platform::ThreadHandle handle;
  uint32_t id = 0;
  if (start(HandleConnection, &WorkerSlots[i], &handle, &id) != 0) {
    WriteLog(3, "Create HandleConnection thread error,error code :%d", platform::LastSystemError());
    platform::SocketClose(s);
    ReturnWorkerSlot(i);
    return -1;
  }
  StoreWorkerThread(i, handle, id);
  return i;
}

int AcceptLoop(platform::Socket listener, WorkerStarter start) {
  bool in_burst = false;
  int error = 0;
  for (;;) {
    platform::Socket s = platform::SocketAccept(listener);
    if (s != platform::kInvalidSocket) {
      in_burst = false;
      HandOverConnection(s, start);
      continue;
    }
    error = platform::LastSocketError();
    if (!platform::IsTransientAcceptError(error))
      break;
    // Out of descriptors, or a peer gone while queued: the gateway waits for
    // it to pass instead of ending, with one line for the whole burst.
    if (!in_burst)
      WriteLog(3, "Failed accept(),error code :%d,retrying", error);
    in_burst = true;
    platform::SleepMs(kAcceptRetryPauseMs);
  }
  WriteLog(3, "Failed accept(),error code :%d", error);
  platform::SocketClose(listener);
  return 0;
}

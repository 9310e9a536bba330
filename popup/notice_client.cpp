// The receive buffer and the notice fields live for the whole connection; the
// buffer is zeroed once, and each receive leaves room for the text's NUL.
#include "popup/notice_client.h"

#include <cstring>

#include "platform/net.h"
#include "platform/thread.h"
#include "popup/console.h"

namespace {

// The connected socket, or kInvalidSocket after printing why there is none.
platform::Socket ConnectNoticeChannel(const char* ipv4, uint16_t port) {
  platform::Socket s = platform::TcpSocket();
  if (s == platform::kInvalidSocket) {
    ConsoleError("socket() failed with error %d\n", platform::LastSocketError());
  } else if (platform::SocketConnect(s, ipv4, port) == 0) {
    return s;
  }
  ConsolePrint("connect error:%d\n", platform::LastSystemError());
  if (s != platform::kInvalidSocket)
    platform::SocketClose(s);
  return platform::kInvalidSocket;
}

}  // namespace

void RunNoticeClient(const char* ipv4, uint16_t port, PopupStarter start) {
  char buffer[kReceiveBufferSize];
  NoticeFields fields;
  std::memset(buffer, 0, sizeof buffer);
  std::memset(&fields, 0, sizeof fields);

  platform::Socket s = ConnectNoticeChannel(ipv4, port);
  if (s == platform::kInvalidSocket)
    return;
  ConsolePrint("connect ok!\n");

  for (;;) {
    int received = platform::SocketRecv(s, buffer, kReceiveCapacity);
    if (received <= 0)
      break;
    HandleReceive(buffer, received, &fields, start);
  }

  int code = platform::LastSystemError();
  ConsolePrint("GetLastError : %d\n", code);
  if (platform::IsPeerGoneError(code))
    platform::SocketClose(s);
}

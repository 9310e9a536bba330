// Socket layer on loopback: the calls the gateway and the notifier rely on,
// the time-out and readiness of WaitReadable, and how a vanished peer shows.
#include "platform/net.h"

#include <cstring>

#include <gtest/gtest.h>

namespace platform {
namespace {

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NetStartup(), 0); }
  void TearDown() override {
    for (Socket s : {client_, server_, listener_}) {
      if (s != kInvalidSocket)
        SocketClose(s);
    }
    NetCleanup();
  }

  // A listener on an ephemeral loopback port.
  void Listen(bool allow_rebind = false) {
    listener_ = TcpSocket();
    ASSERT_NE(listener_, kInvalidSocket);
    if (allow_rebind) {
      ASSERT_EQ(SocketAllowRebind(listener_), 0);
    }
    ASSERT_EQ(SocketBind(listener_, "127.0.0.1", 0), 0);
    ASSERT_EQ(SocketListen(listener_, 4), 0);
    port_ = SocketLocalPort(listener_);
    ASSERT_NE(port_, 0);
  }

  // A connected pair: client_ and the accepted server_.
  void Connect(bool allow_rebind = false) {
    Listen(allow_rebind);
    client_ = TcpSocket();
    ASSERT_NE(client_, kInvalidSocket);
    ASSERT_EQ(SocketConnect(client_, "127.0.0.1", port_), 0);
    server_ = SocketAccept(listener_);
    ASSERT_NE(server_, kInvalidSocket);
  }

  // A client whose connection the system resets: it waits in the backlog of a
  // listener that closes without accepting it.
  void ConnectThenReset() {
    Listen();
    client_ = TcpSocket();
    ASSERT_NE(client_, kInvalidSocket);
    ASSERT_EQ(SocketConnect(client_, "127.0.0.1", port_), 0);
    ASSERT_EQ(SocketClose(listener_), 0);
    listener_ = kInvalidSocket;
  }

  Socket listener_ = kInvalidSocket;
  Socket client_ = kInvalidSocket;
  Socket server_ = kInvalidSocket;
  uint16_t port_ = 0;
};

TEST_F(NetTest, LoopbackRoundTrip) {
  Connect();
  const char hello[] = "GET / HTTP/1.1\r\n";
  ASSERT_EQ(SocketSend(client_, hello, sizeof hello), static_cast<int>(sizeof hello));
  char buf[64] = {};
  int got = 0;
  while (got < static_cast<int>(sizeof hello)) {
    ASSERT_EQ(WaitReadable(server_, 5000), 1);
    int n = SocketRecv(server_, buf + got, sizeof buf - got);
    ASSERT_GT(n, 0);
    got += n;
  }
  EXPECT_EQ(memcmp(buf, hello, sizeof hello), 0);
  ASSERT_EQ(SocketSend(server_, "ok", 2), 2);
  ASSERT_EQ(WaitReadable(client_, 5000), 1);
  EXPECT_EQ(SocketRecv(client_, buf, sizeof buf), 2);
}

// A peer that never reads fills both buffers; from then on each send gives up
// after its time-out instead of blocking.
TEST_F(NetTest, SendTimeOutEndsASendToAPeerThatDoesNotRead) {
  Connect();
  ASSERT_EQ(SocketSetSendTimeout(server_, 100), 0);
  static char chunk[64 * 1024];
  int result = 0;
  for (int i = 0; i < 4096 && result >= 0; ++i)
    result = SocketSend(server_, chunk, sizeof chunk);
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(IsPeerGoneError(LastSocketError()));
}

TEST_F(NetTest, WaitReadableTimesOutThenSeesDataAndClose) {
  Connect();
  EXPECT_EQ(WaitReadable(server_, 0), 0);
  EXPECT_EQ(WaitReadable(server_, 50), 0);
  ASSERT_EQ(SocketSend(client_, "x", 1), 1);
  ASSERT_EQ(WaitReadable(server_, 5000), 1);
  char c = 0;
  ASSERT_EQ(SocketRecv(server_, &c, 1), 1);
  EXPECT_EQ(c, 'x');
  EXPECT_EQ(WaitReadable(server_, 0), 0);
  ASSERT_EQ(SocketClose(client_), 0);
  client_ = kInvalidSocket;
  ASSERT_EQ(WaitReadable(server_, 5000), 1);
  EXPECT_EQ(SocketRecv(server_, &c, 1), 0);
}

TEST_F(NetTest, ListenerIsReadableWhenAConnectionWaits) {
  Listen();
  EXPECT_EQ(WaitReadable(listener_, 0), 0);
  client_ = TcpSocket();
  ASSERT_EQ(SocketConnect(client_, "127.0.0.1", port_), 0);
  EXPECT_EQ(WaitReadable(listener_, 5000), 1);
}

// A reset connection wakes its waiting reader, and writing to it fails with a
// peer-gone code and nothing else: no signal, no crash.
TEST_F(NetTest, ResetPeerIsPeerGone) {
  ConnectThenReset();
  ASSERT_EQ(WaitReadable(client_, 5000), 1);
  char block[1024] = {};
  int result = 0;
  for (int i = 0; i < 100 && result >= 0; i++) {
    result = SocketSend(client_, block, sizeof block);
  }
  ASSERT_EQ(result, -1);
  int err = LastSocketError();
  EXPECT_TRUE(IsPeerGoneError(err)) << "error " << err;
}

TEST_F(NetTest, PeerGoneCodes) {
  EXPECT_TRUE(IsPeerGoneError(kErrConnAborted));
  EXPECT_TRUE(IsPeerGoneError(kErrConnReset));
  EXPECT_NE(kErrConnAborted, kErrConnReset);
  EXPECT_FALSE(IsPeerGoneError(0));
}

TEST_F(NetTest, BindRejectsBadAddressText) {
  listener_ = TcpSocket();
  ASSERT_NE(listener_, kInvalidSocket);
  EXPECT_EQ(SocketBind(listener_, "127.0.0", 0), -1);
  EXPECT_EQ(SocketBind(listener_, "localhost", 0), -1);
  EXPECT_EQ(SocketBind(listener_, "127.0.0.1:80", 0), -1);
  EXPECT_EQ(SocketBind(listener_, nullptr, 0), -1);
}

TEST_F(NetTest, SecondListenerOnTakenPortFails) {
  Listen();
  Socket other = TcpSocket();
  ASSERT_NE(other, kInvalidSocket);
  ASSERT_EQ(SocketAllowRebind(other), 0);
  EXPECT_EQ(SocketBind(other, "127.0.0.1", port_), -1);
  SocketClose(other);
}

// A restarted listener must get its port back while the connections of its
// predecessor (which asked for the same) still linger in TIME_WAIT.
TEST_F(NetTest, ListenerRebindsOverTimeWait) {
  Connect(true);
  ASSERT_EQ(SocketClose(server_), 0);  // the accepting side closes first: TIME_WAIT
  server_ = kInvalidSocket;
  ASSERT_EQ(WaitReadable(client_, 5000), 1);
  char c;
  ASSERT_EQ(SocketRecv(client_, &c, 1), 0);
  ASSERT_EQ(SocketClose(client_), 0);
  client_ = kInvalidSocket;
  ASSERT_EQ(SocketClose(listener_), 0);
  listener_ = TcpSocket();
  ASSERT_NE(listener_, kInvalidSocket);
  ASSERT_EQ(SocketAllowRebind(listener_), 0);
  EXPECT_EQ(SocketBind(listener_, "127.0.0.1", port_), 0) << "error " << LastSocketError();
}

TEST_F(NetTest, ConnectToClosedPortFails) {
  Listen();
  ASSERT_EQ(SocketClose(listener_), 0);
  listener_ = kInvalidSocket;
  client_ = TcpSocket();
  EXPECT_EQ(SocketConnect(client_, "127.0.0.1", port_), -1);
  EXPECT_NE(LastSocketError(), 0);
}

}  // namespace
}  // namespace platform

// POSIX-only socket behaviour: SIGPIPE can never end the process, and waiting
// works on descriptor numbers beyond select's fixed set.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/net.h"

namespace platform {
namespace {

struct Pair {
  Socket listener = kInvalidSocket;
  Socket client = kInvalidSocket;
  Socket server = kInvalidSocket;
  ~Pair() {
    for (Socket s : {client, server, listener}) {
      if (s != kInvalidSocket)
        SocketClose(s);
    }
  }
};

void ConnectPair(Pair* p) {
  p->listener = TcpSocket();
  ASSERT_NE(p->listener, kInvalidSocket);
  ASSERT_EQ(SocketBind(p->listener, "127.0.0.1", 0), 0);
  ASSERT_EQ(SocketListen(p->listener, 1), 0);
  p->client = TcpSocket();
  ASSERT_EQ(SocketConnect(p->client, "127.0.0.1", SocketLocalPort(p->listener)), 0);
  p->server = SocketAccept(p->listener);
  ASSERT_NE(p->server, kInvalidSocket);
}

// Reading a reset connection reports the reset. (Wine's recv reports it as an
// orderly end, so this check cannot run in the Windows build.)
TEST(NetPosixTest, RecvOnResetConnectionIsPeerGone) {
  Pair p;
  p.listener = TcpSocket();
  ASSERT_EQ(SocketBind(p.listener, "127.0.0.1", 0), 0);
  ASSERT_EQ(SocketListen(p.listener, 1), 0);
  p.client = TcpSocket();
  ASSERT_EQ(SocketConnect(p.client, "127.0.0.1", SocketLocalPort(p.listener)), 0);
  ASSERT_EQ(SocketClose(p.listener), 0);  // resets the connection still in the backlog
  p.listener = kInvalidSocket;
  ASSERT_EQ(WaitReadable(p.client, 5000), 1);
  char buf[8];
  ASSERT_EQ(SocketRecv(p.client, buf, sizeof buf), -1);
  int err = LastSocketError();
  EXPECT_TRUE(IsPeerGoneError(err)) << "errno " << err;
}

TEST(NetPosixTest, StartupIgnoresSigpipe) {
  ASSERT_EQ(NetStartup(), 0);
  struct sigaction now;
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}

// With SIGPIPE at its default action, a send to a closed peer that raised it
// would end this test process.
TEST(NetPosixTest, SendNeverRaisesSigpipe) {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
  Pair p;
  ConnectPair(&p);
  ASSERT_EQ(SocketClose(p.server), 0);
  p.server = kInvalidSocket;
  char block[1024] = {};
  int result = 0;
  for (int i = 0; i < 100 && result >= 0; i++)
    result = SocketSend(p.client, block, sizeof block);
  int err = LastSocketError();
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(IsPeerGoneError(err)) << "errno " << err;
  EXPECT_TRUE(IsPeerGoneError(EPIPE));
}

// Moves s to a descriptor number of at least min, raising the soft limit.
Socket MoveAbove(Socket s, int min) {
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
    return kInvalidSocket;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur <= static_cast<rlim_t>(min)) {
    lim.rlim_cur = static_cast<rlim_t>(min) + 16;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_cur > lim.rlim_max)
      return kInvalidSocket;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
      return kInvalidSocket;
  }
  Socket high = fcntl(s, F_DUPFD_CLOEXEC, min);
  SocketClose(s);
  return high;
}

TEST(NetPosixTest, WaitReadableOnHighDescriptor) {
  Pair p;
  ConnectPair(&p);
  const int min = FD_SETSIZE + 500;
  p.server = MoveAbove(p.server, min);
  if (p.server == kInvalidSocket)
    GTEST_SKIP() << "cannot raise the descriptor limit";
  ASSERT_GE(p.server, min);
  EXPECT_EQ(WaitReadable(p.server, 10), 0);
  ASSERT_EQ(SocketSend(p.client, "y", 1), 1);
  ASSERT_EQ(WaitReadable(p.server, 5000), 1);
  char c = 0;
  ASSERT_EQ(SocketRecv(p.server, &c, 1), 1);
  EXPECT_EQ(c, 'y');
}

TEST(NetPosixTest, WaitReadableOnClosedDescriptorFails) {
  Socket s = TcpSocket();
  ASSERT_NE(s, kInvalidSocket);
  Socket gone = MoveAbove(s, FD_SETSIZE + 600);
  if (gone == kInvalidSocket)
    GTEST_SKIP() << "cannot raise the descriptor limit";
  ASSERT_EQ(SocketClose(gone), 0);
  EXPECT_EQ(WaitReadable(gone, 10), -1);
}

}  // namespace
}  // namespace platform

#include "gateway/tunnel/port_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "gateway/testing/log_capture.h"
#include "gateway/testing/zelmo_double.h"
#include "platform/net.h"
#include "zelmo/zelmo_api.h"

namespace {

bool PortIsFree(int port) {
  platform::Socket s = TryBindLocalPort(port);
  if (s == platform::kInvalidSocket)
    return false;
  platform::SocketClose(s);
  return true;
}

// The first port of a run of n ports that are free on both addresses, found from
// a port the system hands out; 0 when none is found in a few tries.
int FreePortRun(int n) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    platform::Socket probe = platform::TcpSocket();
    platform::SocketBind(probe, "127.0.0.1", 0);
    int first = platform::SocketLocalPort(probe);
    platform::SocketClose(probe);
    if (first == 0 || first + n > kHighestPort)
      continue;
    bool free = true;
    for (int p = first; p < first + n && free; ++p)
      free = PortIsFree(p);
    if (free)
      return first;
  }
  return 0;
}

platform::Socket Occupy(const char* ipv4, int port) {
  platform::Socket s = platform::TcpSocket();
  EXPECT_EQ(platform::SocketBind(s, ipv4, static_cast<uint16_t>(port)), 0);
  return s;
}

int CountLines(LogCapture& log, const std::string& text) {
  std::vector<std::string> lines = log.Texts();
  return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::NetStartup(), 0);
    zelmo_double::Reset();
    client_ = Zelmo_CreateClientV3("u", "p", "server");
    context_ = zelmo_double::GiveTunnelContext(client_);
  }
  void TearDown() override {
    zelmo_double::Reset();
    platform::NetCleanup();
  }

  void* client_ = nullptr;
  void* context_ = nullptr;
};

TEST_F(PortMapTest, FreePortGivesASocketBoundOnLoopback) {
  int port = FreePortRun(1);
  ASSERT_NE(port, 0);
  platform::Socket s = TryBindLocalPort(port);
  ASSERT_NE(s, platform::kInvalidSocket);
  EXPECT_EQ(platform::SocketLocalPort(s), port);
  // Still held on 127.0.0.1: a second probe of the port fails.
  EXPECT_EQ(TryBindLocalPort(port), platform::kInvalidSocket);
  platform::SocketClose(s);
}

TEST_F(PortMapTest, PortBusyOnEitherAddressIsSkippedWithOneLineEach) {
  int first = FreePortRun(3);
  ASSERT_NE(first, 0);
  platform::Socket on_loopback = Occupy("127.0.0.1", first);
  platform::Socket on_all = Occupy("0.0.0.0", first + 1);
  LogCapture log;
  int port = first - 1;
  EXPECT_EQ(MapDevicePort(client_, "tid-1", "HttpPort", &port), 0);
  EXPECT_EQ(port, first + 2);
  EXPECT_EQ(CountLines(log, "Bind failed"), 2);
  std::vector<zelmo_double::Call> rules = zelmo_double::CallsNamed("Zelmo_AddT2URule");
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].args,
            (std::vector<std::string>{zelmo_double::HandleText(context_), "tid-1", "0", "HttpPort",
                                      "0.0.0.0", std::to_string(first + 2)}));
  platform::SocketClose(on_loopback);
  platform::SocketClose(on_all);
}

TEST_F(PortMapTest, UnusablePortResultMovesTheSearchOn) {
  int first = FreePortRun(3);
  ASSERT_NE(first, 0);
  zelmo_double::ScriptRuleResults({-1, 7});
  LogCapture log;
  int port = first - 1;
  EXPECT_EQ(MapDevicePort(client_, "tid-1", "RTSPPort", &port), 0);
  EXPECT_EQ(port, first + 2);
  std::vector<std::string> lines = log.Texts();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "call AddT2URule error,port " + std::to_string(first) + ":ret -1");
  EXPECT_EQ(lines[1], "call AddT2URule error,port " + std::to_string(first + 1) + ":ret 7");
}

TEST_F(PortMapTest, RefusedRuleEndsTheSearchAndKeepsItsPort) {
  int first = FreePortRun(2);
  ASSERT_NE(first, 0);
  zelmo_double::ScriptRuleResults({-2});
  LogCapture log;
  int port = first - 1;
  EXPECT_EQ(MapDevicePort(client_, "tid-1", "MediaPort", &port), -2);
  EXPECT_EQ(port, first);
  EXPECT_EQ(zelmo_double::CallsNamed("Zelmo_AddT2URule").size(), 1u);
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{"call AddT2URule error,port " +
                                                   std::to_string(first) + ":ret -2"}));
}

TEST_F(PortMapTest, SearchEndsAtTheHighestPortWithPortZero) {
  for (int p = kHighestPort - 3; p <= kHighestPort; ++p)
    zelmo_double::SetRuleResultForPort(p, 1);
  LogCapture log;
  int port = kHighestPort - 4;
  EXPECT_EQ(MapDevicePort(client_, "tid-1", "SdkMapPort", &port), -1);
  EXPECT_EQ(port, 0);
  EXPECT_LE(zelmo_double::CallsNamed("Zelmo_AddT2URule").size(), 4u);
  std::vector<LoggedLine> lines = log.Taken();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().level, 3);
  EXPECT_EQ(lines.back().text, "No free local port up to 65535 for rule SdkMapPort");
  // The mutex is free again.
  EXPECT_TRUE(PortMapMutex.try_lock());
  PortMapMutex.unlock();
}

TEST_F(PortMapTest, TunnelsComingUpTogetherNeverShareAPort) {
  int first = FreePortRun(8);
  ASSERT_NE(first, 0);
  void* other = Zelmo_CreateClientV3("u", "p", "server");
  zelmo_double::GiveTunnelContext(other);
  // The library takes a while before it listens: without the mutex held up to
  // the rule, the other thread would find the same port still free.
  zelmo_double::SetRuleListening(true);
  zelmo_double::SetRuleDelayMs(20);
  std::vector<int> ports(4, 0);
  auto map_two = [&ports, first](void* client, int slot) {
    for (int n = 0; n < 2; ++n) {
      int port = first - 1;
      MapDevicePort(client, "tid-1", "HttpPort", &port);
      ports[slot + n] = port;
    }
  };
  std::thread a(map_two, client_, 0);
  std::thread b(map_two, other, 2);
  a.join();
  b.join();
  std::vector<int> sorted = ports;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<int>{first, first + 1, first + 2, first + 3}));
}

// The library refuses for good a rule of another tunnel, of an unknown service
// or without a tunnel: the search stops at the first port.
TEST_F(PortMapTest, RuleOfAnotherTunnelOrServiceOrWithoutTunnelIsRefused) {
  int first = FreePortRun(1);
  ASSERT_NE(first, 0);
  int port = first - 1;
  EXPECT_EQ(MapDevicePort(client_, "tid-2", "HttpPort", &port), -2);
  EXPECT_EQ(port, first);
  port = first - 1;
  EXPECT_EQ(MapDevicePort(client_, "tid-1", "FtpPort", &port), -2);
  void* bare = Zelmo_CreateClientV3("u", "p", "server");
  port = first - 1;
  EXPECT_EQ(MapDevicePort(bare, "tid-1", "HttpPort", &port), -2);
  EXPECT_EQ(zelmo_double::CallsNamed("Zelmo_AddT2URule").size(), 3u);
}

}  // namespace

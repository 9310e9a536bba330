// The gateway's device sessions against our real tunnel library and a cloud run
// in-process: what the unit tests check against the test double (connection and
// port rules, the closed tunnel and the reaper, sessions nobody asks for) must
// hold against the library too, so a difference between the two shows here.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "gateway/tunnel/device_connect.h"
#include "gateway/tunnel/session_reaper.h"
#include "gateway/tunnel/session_table.h"
#include "test_cloud.h"
#include "zelmo/zelmo_api.h"

namespace {

using zelmo_test::TestCloud;

// Waits, at most 10 seconds, until done() holds under the tables' lock.
bool WaitForTables(const std::function<bool()>& done) {
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard<std::mutex> lock(Sessions.Mutex);
      if (done())
        return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool Logged(const std::string& text) {
  for (const auto& line : zelmo_test::LoggedLines()) {
    if (line.second.find(text) != std::string::npos)
      return true;
  }
  return false;
}

class GatewayRealLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud_.started());
    zelmo_test::CaptureLog();
    zelmo_test::ClearLog();
    ClearSessionTables();
  }
  void TearDown() override {
    // Every client still in the table is deleted through the reaper's path.
    for (int i = 0; i < kSessionCount; ++i) {
      if (Sessions.DeviceSessions[i].Phase == kSessionLive)
        DoomSession(i);
    }
    for (int pass = 0; pass < 2; ++pass)
      ReapSessions();
    ClearSessionTables();
  }

  int Connect(const char* sn, const char* name) {
    return CloudTryConnectDevice("alice", "secret", sn, name, 1, cloud_.bare().c_str());
  }

  TestCloud cloud_;
};

TEST_F(GatewayRealLibraryTest, TunnelUpMapsForwardingPortsAndGivesTheDeviceLogin) {
  int s = Connect("SN-ON", "Lab");
  ASSERT_EQ(s, 0);
  // The reaper reads the tunnel context while the library's thread sets it.
  void* client;
  {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    client = Sessions.DeviceSessions[s].ClientHandle;
  }
  void* context = nullptr;
  std::thread reaper_like([client, &context] {
    for (int i = 0; i < 100000 && context == nullptr; ++i)
      context = ZelmoTunnelContext(client);
  });
  ASSERT_TRUE(WaitForTables([s] { return Sessions.DeviceSessions[s].TunnelReady == 1; }));
  reaper_like.join();
  if (context != nullptr) {
    EXPECT_EQ(context, ZelmoTunnelContext(client));
  }
  SessionView view;
  ASSERT_EQ(AcquireDeviceSession("SN-ON", "Lab", &view), s);
  const int32_t kept[] = {view.Ports.HttpPort,          view.Ports.RTSPPort,
                          view.Ports.SdkMapPort,        view.Ports.MediaPort,
                          view.Ports.AccessIpcHTTPPort, view.Ports.AccessIpcRTSPPort};
  for (int32_t port : kept) {
    ASSERT_GT(port, 0);
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    EXPECT_TRUE(zelmo_test::ConnectLoopback(socket, static_cast<uint16_t>(port))) << port;
  }
  EXPECT_FALSE(Logged("call AddT2URule error"));
  char entry[kZelmoDeviceEntrySize];
  ASSERT_EQ(Zelmo_CopyDeviceEntry(view.ClientHandle, 0, entry), 0);
  EXPECT_STREQ(ZelmoEntrySerial(entry), "SN-ON");
  EXPECT_STREQ(ZelmoEntryUser(entry), "admin");
  EXPECT_STREQ(ZelmoEntryKey(entry), "K1");
  ReleaseSession(s);
}

TEST_F(GatewayRealLibraryTest, ClosedTunnelDoomsTheSessionAndTheReaperDeletesIt) {
  int s = Connect("SN-ON", "Lab");
  ASSERT_EQ(s, 0);
  ASSERT_TRUE(WaitForTables([s] { return Sessions.DeviceSessions[s].TunnelReady == 1; }));
  ASSERT_EQ(cloud_.Admin("/admin/drop?sn=SN-ON"), 200);
  ASSERT_TRUE(WaitForTables([s] { return Sessions.DeviceSessions[s].TunnelClosed == 1; }));
  ReapSessions();
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  EXPECT_EQ(Sessions.DeviceSessions[s].Phase, kSessionFree);
  EXPECT_EQ(Sessions.DeviceSessions[s].ClientHandle, nullptr);
  EXPECT_TRUE(Logged("DeleteClientHandle[0]"));
}

TEST_F(GatewayRealLibraryTest, ConnectingSessionNobodyAsksForIsDeleted) {
  int s = Connect("SN-OFF", "Shed");
  ASSERT_EQ(s, 0);
  ReapSessions();
  {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    ASSERT_EQ(Sessions.DeviceSessions[s].Phase, kSessionLive);
    EXPECT_EQ(ZelmoTunnelContext(Sessions.DeviceSessions[s].ClientHandle), nullptr);
    Sessions.DeviceSessions[s].UnaskedPasses = kUnaskedConnectingPasses - 1;
  }
  ReapSessions();
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  EXPECT_EQ(Sessions.DeviceSessions[s].Phase, kSessionFree);
  EXPECT_TRUE(
      Logged("Session[0] of SN-OFF doomed: still connecting and not asked for in 600 passes"));
}

}  // namespace

#include "gateway/tunnel/device_connect.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "gateway/service/service_urls.h"
#include "gateway/testing/log_capture.h"
#include "gateway/testing/zelmo_double.h"
#include "gateway/tunnel/port_map.h"
#include "gateway/tunnel/session_table.h"
#include "zelmo/zelmo_api.h"
#include "platform/net.h"

namespace {

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const zelmo_double::Call& c : zelmo_double::Calls())
    names.push_back(c.name);
  return names;
}

CLIENTDEVICE_HANDLE Session(int i) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  return Sessions.DeviceSessions[i];
}

bool PortIsFree(int port) {
  platform::Socket s = TryBindLocalPort(port);
  if (s == platform::kInvalidSocket)
    return false;
  platform::SocketClose(s);
  return true;
}

class DeviceConnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::NetStartup(), 0);
    zelmo_double::Reset();
    ClearSessionTables();
    UrlIndex.store(0);
  }
  void TearDown() override {
    ClearSessionTables();
    zelmo_double::Reset();
    platform::NetCleanup();
  }
};

TEST_F(DeviceConnectTest, NewDeviceGetsAConnectingSessionAndItsTunnelIsAskedFor) {
  LogCapture log;
  int i = CloudTryConnectDevice("alice", "secret", "SN-1", "cam", 3, "10.0.0.5:8080");
  ASSERT_EQ(i, 0);
  EXPECT_EQ(UrlIndex.load(), 3);
  EXPECT_EQ(CallNames(), (std::vector<std::string>{
                             "Zelmo_CreateClientV3", "Zelmo_SetClientTunnelConnectedCallBack",
                             "Zelmo_SetClientTunnelClosedCallBack", "Zelmo_ListMyDeviceV3",
                             "Zelmo_ClientTryConnectDeviceViaTennelV3"}));
  std::vector<zelmo_double::Call> calls = zelmo_double::Calls();
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"alice", "secret", "10.0.0.5:8080"}));
  std::vector<void*> clients = zelmo_double::LiveClients();
  ASSERT_EQ(clients.size(), 1u);
  std::string handle = zelmo_double::HandleText(clients[0]);
  EXPECT_EQ(calls[1].args, (std::vector<std::string>{handle, handle}));
  EXPECT_EQ(calls[3].args, (std::vector<std::string>{handle, "cam"}));
  EXPECT_EQ(calls[4].args, (std::vector<std::string>{handle, "SN-1"}));

  CLIENTDEVICE_HANDLE r = Session(0);
  EXPECT_EQ(r.ClientHandle, clients[0]);
  EXPECT_STREQ(r.DeviceSn, "SN-1");
  EXPECT_STREQ(r.DeviceName, "cam");
  EXPECT_EQ(r.TunnelReady, 0);
  EXPECT_EQ(r.IdleCountdown, kIdleStart);
  EXPECT_EQ(r.UseCount, 0);
  EXPECT_STREQ(Sessions.DeviceLoopCounts[0].DeviceSn, "SN-1");
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"Call CloudTryConnectDevice function OK.deviceSN is SN-1."}));
}

TEST_F(DeviceConnectTest, WithoutHttpIpTheServiceCentresUrlIsTheServer) {
  ASSERT_EQ(CloudTryConnectDevice("alice", "secret", "SN-1", "cam", 2, ""), 0);
  std::vector<zelmo_double::Call> created = zelmo_double::CallsNamed("Zelmo_CreateClientV3");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].args[2], ServiceUrls[1]);
}

TEST_F(DeviceConnectTest, KnownDeviceIsFoundAndOnlyUrlIndexChanges) {
  ASSERT_EQ(CloudTryConnectDevice("alice", "secret", "SN-1", "cam", 1, "h"), 0);
  size_t calls = zelmo_double::Calls().size();
  LogCapture log;
  EXPECT_EQ(CloudTryConnectDevice("alice", "secret", "SN-1", "cam", 5, "h"), 0);
  EXPECT_EQ(UrlIndex.load(), 5);
  EXPECT_EQ(zelmo_double::Calls().size(), calls);
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{"device session existed.devicesn is SN-1."}));
}

TEST_F(DeviceConnectTest, FailedCreationLeavesTheRecordFree) {
  zelmo_double::FailCreates(1);
  LogCapture log;
  EXPECT_EQ(CloudTryConnectDevice("alice", "secret", "SN-1", "cam", 1, "h"), -1);
  CLIENTDEVICE_HANDLE r = Session(0);
  EXPECT_EQ(r.Phase, kSessionFree);
  EXPECT_EQ(r.DeviceSn[0], '\0');
  EXPECT_EQ(r.IdleCountdown, 0);
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{"CreateClient fail.deviceSN is SN-1."}));
  EXPECT_EQ(CloudTryConnectDevice("alice", "secret", "SN-1", "cam", 1, "h"), 0);
}

TEST_F(DeviceConnectTest, UnknownServiceCentreWithoutHttpIpMakesNoClient) {
  EXPECT_EQ(CloudTryConnectDevice("alice", "secret", "SN-1", "cam", 9, ""), -1);
  EXPECT_TRUE(zelmo_double::LiveClients().empty());
  EXPECT_EQ(Session(0).Phase, kSessionFree);
}

TEST_F(DeviceConnectTest, FullTableGivesNoSession) {
  for (int i = 0; i < kSessionCount; ++i) {
    ASSERT_EQ(CloudTryConnectDevice("a", "p", ("SN-" + std::to_string(i)).c_str(), "cam", 1, "h"),
              i);
  }
  EXPECT_EQ(CloudTryConnectDevice("a", "p", "SN-new", "cam", 1, "h"), -1);
  EXPECT_EQ(zelmo_double::LiveClients().size(), static_cast<size_t>(kSessionCount));
}

TEST_F(DeviceConnectTest, EmptyOrOverlongDeviceTextsNeverReachTheTables) {
  std::string long_text(64, 's');
  EXPECT_EQ(CloudTryConnectDevice("a", "p", "", "cam", 1, "h"), -1);
  EXPECT_EQ(CloudTryConnectDevice("a", "p", "SN", "", 1, "h"), -1);
  EXPECT_EQ(CloudTryConnectDevice("a", "p", long_text.c_str(), "cam", 1, "h"), -1);
  EXPECT_EQ(CloudTryConnectDevice("a", "p", "SN", long_text.c_str(), 1, "h"), -1);
  EXPECT_TRUE(zelmo_double::Calls().empty());
  EXPECT_EQ(Session(0).Phase, kSessionFree);
}

TEST_F(DeviceConnectTest, ConcurrentRequestsForANewDeviceMakeOneClient) {
  zelmo_double::SetCreateDelayMs(50);
  std::vector<int> got(4, -2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back(
        [t, &got] { got[t] = CloudTryConnectDevice("a", "p", "SN-1", "cam", 1, "h"); });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(got, (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(zelmo_double::CallsNamed("Zelmo_CreateClientV3").size(), 1u);
}

class TunnelCallbackTest : public DeviceConnectTest {
 protected:
  void* Connect(const char* sn, const char* name) {
    int i = CloudTryConnectDevice("a", "p", sn, name, 1, "h");
    EXPECT_GE(i, 0);
    void* client = Session(i).ClientHandle;
    zelmo_double::GiveTunnelContext(client);
    return client;
  }
};

TEST_F(TunnelCallbackTest, FirstTunnelMapsTheSevenStartPorts) {
  for (int port : {8081, 5555, 7071, 6061, 4444, 8082, 5556}) {
    if (!PortIsFree(port))
      GTEST_SKIP() << "port " << port << " is in use on this machine";
  }
  zelmo_double::SetAccountDevices({{"SN-1", "tid-1", "key", "admin"}});
  void* client = Connect("SN-1", "cam");
  LogCapture log;
  EXPECT_EQ(zelmo_double::FireConnected(client, "tid-1"), 0);
  std::vector<std::string> rules;
  for (const zelmo_double::Call& c : zelmo_double::CallsNamed("Zelmo_AddT2URule")) {
    EXPECT_EQ(c.args[1], "tid-1");
    rules.push_back(c.args[3] + ":" + c.args[5]);
  }
  EXPECT_EQ(rules, (std::vector<std::string>{"HttpPort:8081", "RTSPPort:5555", "MediaPort:7071",
                                             "SdkMapPort:6061", "HttpMapPort:4444",
                                             "AccessIpcHTTPPort:8082", "AccessIpcRTSPPort:5556"}));
  CLIENTDEVICE_HANDLE r = Session(0);
  EXPECT_EQ(r.TunnelReady, 1);
  EXPECT_EQ(r.HttpPort, 8081);
  EXPECT_EQ(r.RTSPPort, 5555);
  EXPECT_EQ(r.MediaPort, 7071);
  EXPECT_EQ(r.SdkMapPort, 6061);
  EXPECT_EQ(r.AccessIpcHTTPPort, 8082);
  EXPECT_EQ(r.AccessIpcRTSPPort, 5556);
  EXPECT_EQ(log.Texts().back(), "Call CloudTunnelConnetedCallBackFun() function OK!");
}

TEST_F(TunnelCallbackTest, OneSerialWithTwoNamesGetsItsPortsInBothRecords) {
  zelmo_double::SetAccountDevices({{"SN-1", "tid-1", "key", "admin"}});
  void* first = Connect("SN-1", "cam");
  Connect("SN-1", "door");
  Connect("SN-2", "cam");
  ASSERT_EQ(zelmo_double::FireConnected(first, "tid-1"), 0);
  CLIENTDEVICE_HANDLE a = Session(0), b = Session(1), other = Session(2);
  EXPECT_EQ(a.TunnelReady, 1);
  EXPECT_EQ(b.TunnelReady, 1);
  EXPECT_GT(a.HttpPort, 8080);
  EXPECT_EQ(b.HttpPort, a.HttpPort);
  EXPECT_EQ(b.AccessIpcRTSPPort, a.AccessIpcRTSPPort);
  EXPECT_EQ(other.TunnelReady, 0);
  EXPECT_EQ(other.HttpPort, 0);
}

TEST_F(TunnelCallbackTest, UnknownTunnelIdMakesNoRuleButRegistersTheNetworkEvents) {
  zelmo_double::SetAccountDevices({{"SN-1", "tid-1", "key", "admin"}});
  void* client = Connect("SN-1", "cam");
  LogCapture log;
  EXPECT_EQ(zelmo_double::FireConnected(client, "tid-9"), -1);
  EXPECT_EQ(zelmo_double::CallsNamed("Zelmo_SetNetInfoCallBack").size(), 1u);
  EXPECT_TRUE(zelmo_double::CallsNamed("Zelmo_AddT2URule").empty());
  EXPECT_EQ(Session(0).TunnelReady, 0);
  EXPECT_TRUE(log.Texts().empty());
}

TEST_F(TunnelCallbackTest, EntryWithAnEmptySerialMatchesNoRecord) {
  zelmo_double::SetAccountDevices({{"", "tid-0", "key", "admin"}});
  void* client = Connect("SN-1", "cam");
  EXPECT_EQ(zelmo_double::FireConnected(client, "tid-0"), 0);
  for (int i = 0; i < kSessionCount; ++i)
    EXPECT_EQ(Session(i).TunnelReady, 0) << i;
  EXPECT_EQ(Session(1).Phase, kSessionFree);
}

TEST_F(TunnelCallbackTest, ClosedTunnelDoomsTheSession) {
  void* client = Connect("SN-1", "cam");
  Connect("SN-2", "cam");
  LogCapture log;
  EXPECT_EQ(zelmo_double::FireClosed(client), 1);
  EXPECT_EQ(Session(0).IdleCountdown, 0);
  EXPECT_EQ(Session(1).IdleCountdown, kIdleStart);
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"Call CloudTunnelClosedCallBackFun() function OK!"}));
}

TEST_F(TunnelCallbackTest, NetworkEventOfTheTunnelReachesTheNoticeSender) {
  zelmo_double::SetAccountDevices({{"SN-1", "tid-1", "key", "admin"}});
  void* client = Connect("SN-1", "cam");
  zelmo_double::FireConnected(client, "tid-1");
  LogCapture log;
  EXPECT_EQ(zelmo_double::FireNetInfo(client, 3, 40), 0);
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{"NetInfoEvent 3:40"}));
}

}  // namespace

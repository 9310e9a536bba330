// Tunnels against an in-process cloud: coming up, staying down for an offline
// device, closing (dropped, device gone, cloud gone), network events, and
// deleting a client while its callbacks or its streams are busy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "devcloud/agent.h"
#include "devcloud/agent_record.h"
#include "test_cloud.h"
#include "zelmo/zelmo_api.h"

namespace {

using zelmo_test::Recorder;
using zelmo_test::TestCloud;

// Waits until the cloud reports the device's tunnel count.
bool WaitForTunnels(TestCloud& cloud, const std::string& sn, int tunnels) {
  for (int i = 0; i < 200; ++i) {
    if (cloud.DeviceStats(sn)["tunnels"] == tunnels)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class TunnelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zelmo_test::CaptureLog();
    zelmo_test::ClearLog();
    ASSERT_TRUE(cloud_->started());
    client_ = zelmo_test::MakeClient(*cloud_, recorder_);
    ASSERT_NE(client_, nullptr);
  }
  void TearDown() override {
    if (client_ != nullptr)
      Zelmo_DeleteClient(client_);
  }
  // Opens the tunnel to serial and waits for the connected callback.
  bool Open(const char* serial) {
    Zelmo_ClientTryConnectDeviceViaTennelV3(client_, serial);
    return recorder_.WaitFor([this] { return recorder_.connected > 0; });
  }

  std::unique_ptr<TestCloud> cloud_ = std::make_unique<TestCloud>();
  Recorder recorder_;
  void* client_ = nullptr;
};

// The path the tunnel took is logged once as it comes up.
TEST_F(TunnelTest, ComesUpWithContextStoredAndDeviceListedBeforeTheCallback) {
  ASSERT_EQ(ZelmoTunnelContext(client_), nullptr);
  ASSERT_TRUE(Open("SN-ON"));
  int path_lines = 0;
  for (const auto& line : zelmo_test::LoggedLines()) {
    if (line.second.find(" is relayed ") != std::string::npos) {
      EXPECT_EQ(line,
                std::make_pair(6, std::string("Zelmo: tunnel to SN-ON is relayed (cloud)\n")));
      ++path_lines;
    }
  }
  EXPECT_EQ(path_lines, 1);
  std::lock_guard<std::mutex> lock(recorder_.mutex);
  EXPECT_EQ(recorder_.tunnel_id, "tn-on");
  EXPECT_NE(recorder_.context_seen, nullptr);
  EXPECT_EQ(recorder_.context_seen, ZelmoTunnelContext(client_));
  EXPECT_TRUE(recorder_.listed_at_callback);
  EXPECT_EQ(recorder_.closed, 0);
}

TEST_F(TunnelTest, AskingAgainWhileUpOpensNoSecondTunnel) {
  ASSERT_TRUE(Open("SN-ON"));
  EXPECT_EQ(Zelmo_ClientTryConnectDeviceViaTennelV3(client_, "SN-ON"), 0);
  ASSERT_TRUE(WaitForTunnels(*cloud_, "SN-ON", 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(cloud_->DeviceStats("SN-ON")["tunnels"], 1);
  std::lock_guard<std::mutex> lock(recorder_.mutex);
  EXPECT_EQ(recorder_.connected, 1);
}

// Offline: no callback and no noise; the library keeps trying, so the tunnel
// comes up once the device does.
TEST_F(TunnelTest, OfflineDeviceStaysQuietUntilItComesOnline) {
  Zelmo_ClientTryConnectDeviceViaTennelV3(client_, "SN-OFF");
  EXPECT_FALSE(recorder_.WaitFor([this] { return recorder_.connected > 0; }, 3));
  EXPECT_EQ(ZelmoTunnelContext(client_), nullptr);
  int loud = 0;
  for (const auto& line : zelmo_test::LoggedLines()) {
    if (line.first <= 6 && line.second.find("SN-OFF") != std::string::npos)
      ++loud;
  }
  EXPECT_LE(loud, 1);
  ASSERT_EQ(cloud_->Admin("/admin/device?sn=SN-OFF&online=1"), 200);
  ASSERT_TRUE(recorder_.WaitFor([this] { return recorder_.connected > 0; }));
  EXPECT_EQ(recorder_.tunnel_id, "tn-off");
}

TEST_F(TunnelTest, DeviceOfAnotherAccountNeverComesUp) {
  Zelmo_ClientTryConnectDeviceViaTennelV3(client_, "SN-BOB");
  EXPECT_FALSE(recorder_.WaitFor([this] { return recorder_.connected > 0; }, 2));
  EXPECT_EQ(cloud_->DeviceStats("SN-BOB")["tunnels"], 0);
}

// A dropped tunnel: one closed callback, no reconnection, and a context that
// stays readable with its counter while its rules stop forwarding.
TEST_F(TunnelTest, DropCallsClosedOnceAndLeavesTheContextReadable) {
  ASSERT_TRUE(Open("SN-ON"));
  void* context = ZelmoTunnelContext(client_);
  uint16_t port = zelmo_test::FreePort();
  ASSERT_EQ(Zelmo_AddT2URule(context, "tn-on", 0, "SdkMapPort", "127.0.0.1", port), 0);
  {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    ASSERT_TRUE(zelmo_test::ConnectLoopback(socket, port));
    char greeting[16];
    asio::read(socket, asio::buffer(greeting));
  }
  ASSERT_EQ(cloud_->Admin("/admin/drop?sn=SN-ON"), 200);
  ASSERT_TRUE(recorder_.WaitFor([this] { return recorder_.closed > 0; }));
  int64_t counted = Zelmo_GetT2UCounter(context, 1);
  EXPECT_GE(counted, 16);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    EXPECT_EQ(recorder_.closed, 1);
    EXPECT_EQ(recorder_.connected, 1);
  }
  EXPECT_EQ(cloud_->DeviceStats("SN-ON")["tunnels"], 0);
  EXPECT_EQ(ZelmoTunnelContext(client_), context);
  EXPECT_EQ(Zelmo_GetT2UCounter(context, 1), counted);
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  EXPECT_FALSE(zelmo_test::ConnectLoopback(socket, port));
  EXPECT_EQ(Zelmo_AddT2URule(context, "tn-on", 0, "SdkMapPort", "127.0.0.1", port), -2);
}

TEST_F(TunnelTest, CloudGoneClosesTheTunnel) {
  ASSERT_TRUE(Open("SN-ON"));
  cloud_.reset();
  ASSERT_TRUE(recorder_.WaitFor([this] { return recorder_.closed > 0; }));
  EXPECT_NE(ZelmoTunnelContext(client_), nullptr);
}

// A device whose agent runs apart is online only while that agent runs; ending
// the agent makes the device vanish and closes its tunnel.
TEST_F(TunnelTest, VanishingDeviceClosesTheTunnel) {
  devcloud::DeviceInfo device;
  uint16_t relay_port = 0;
  std::string why;
  ASSERT_EQ(devcloud::FetchAgentRecord("127.0.0.1", cloud_->http_port(), "SN-EXT", device,
                                       relay_port, why),
            0)
      << why;
  EXPECT_EQ(device.user, "op");
  EXPECT_FALSE(cloud_->DeviceStats("SN-EXT")["online"].get<bool>());
  asio::io_context io;
  auto agent = std::make_unique<devcloud::Agent>(
      io, device, "secret-of-sn-ext-0001",
      asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), relay_port), nullptr);
  ASSERT_EQ(agent->Start(), 0);
  std::thread thread([&io] {
    auto work = asio::make_work_guard(io);
    io.run();
  });
  ASSERT_TRUE(Open("SN-EXT"));
  io.stop();
  thread.join();
  agent.reset();
  ASSERT_TRUE(recorder_.WaitFor([this] { return recorder_.closed > 0; }));
  EXPECT_FALSE(cloud_->DeviceStats("SN-EXT")["online"].get<bool>());
}

TEST_F(TunnelTest, NetworkEventReachesItsCallback) {
  ASSERT_TRUE(Open("SN-ON"));
  Zelmo_SetNetInfoCallBack(ZelmoTunnelContext(client_), &recorder_, zelmo_test::OnNetInfo);
  ASSERT_EQ(cloud_->Admin("/admin/netinfo?sn=SN-ON&code=1&count=37"), 200);
  ASSERT_EQ(cloud_->Admin("/admin/netinfo?sn=SN-ON&code=2&count=-5"), 200);
  ASSERT_TRUE(recorder_.WaitFor([this] { return recorder_.events.size() == 2; }));
  EXPECT_EQ(recorder_.events[0], std::make_pair(1, 37));
  EXPECT_EQ(recorder_.events[1], std::make_pair(2, -5));
}

// The reaper deletes a client while its connected callback still runs (and
// waits on the gateway's lock): the delete returns only after the callback, and
// nothing of the client runs afterwards.
TEST_F(TunnelTest, DeleteDuringACallbackWaitsForItAndEndsEverything) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> callback_done{false};
  recorder_.in_connected = [&] {
    entered.set_value();
    released.wait();
    callback_done.store(true);
  };
  Zelmo_ClientTryConnectDeviceViaTennelV3(client_, "SN-ON");
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  std::atomic<bool> done_before_return{false};
  std::thread reaper([&] {
    Zelmo_DeleteClient(client_);
    done_before_return.store(callback_done.load());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  release.set_value();
  reaper.join();
  client_ = nullptr;
  EXPECT_TRUE(done_before_return.load());
  ASSERT_TRUE(WaitForTunnels(*cloud_, "SN-ON", 0));
  std::lock_guard<std::mutex> lock(recorder_.mutex);
  EXPECT_EQ(recorder_.closed, 0);
}

// The client's thread frees the client after the callback returned, so it may
// still run when the test ends: it gets no log sink that the test owns.
TEST_F(TunnelTest, DeleteFromInsideItsOwnCallbackFreesTheClientAfterwards) {
  Zelmo_SetLogFunc(nullptr);
  recorder_.in_connected = [this] { EXPECT_EQ(Zelmo_DeleteClient(recorder_.client), 0); };
  ASSERT_TRUE(Open("SN-ON"));
  client_ = nullptr;
  EXPECT_TRUE(WaitForTunnels(*cloud_, "SN-ON", 0));
  EXPECT_EQ(recorder_.closed, 0);
}

// Delete while media streams run at full speed: it returns, the streams end
// and the rule's port is free again.
TEST_F(TunnelTest, DeleteDuringTrafficEndsStreamsAndRules) {
  ASSERT_TRUE(Open("SN-ON"));
  uint16_t port = zelmo_test::FreePort();
  ASSERT_EQ(
      Zelmo_AddT2URule(ZelmoTunnelContext(client_), "tn-on", 0, "MediaPort", "127.0.0.1", port), 0);
  asio::io_context io;
  std::vector<std::thread> readers;
  std::atomic<int> reading{0};
  std::atomic<int> streaming{0};
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      asio::ip::tcp::socket socket(io);
      std::vector<char> buffer(65536);
      std::error_code ec;
      if (zelmo_test::ConnectLoopback(socket, port)) {
        asio::write(socket, asio::buffer("pattern\n", 8), ec);
        asio::read(socket, asio::buffer(buffer), ec);
      }
      streaming.fetch_add(socket.is_open() && !ec ? 1 : 0);
      reading.fetch_add(1);
      while (socket.is_open() && !ec)
        socket.read_some(asio::buffer(buffer), ec);
    });
  }
  while (reading.load() < 4)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(streaming.load(), 4);
  EXPECT_EQ(Zelmo_DeleteClient(client_), 0);
  client_ = nullptr;
  for (auto& reader : readers)
    reader.join();
  asio::ip::tcp::socket socket(io);
  EXPECT_FALSE(zelmo_test::ConnectLoopback(socket, port));
}

}  // namespace

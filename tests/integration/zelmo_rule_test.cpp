// Port rules over a real tunnel: refusals, busy ports, and the data path with
// each kind of device service behind it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <array>
#include <chrono>
#include <random>
#include <thread>

#include "test_cloud.h"
#include "zelmo/zelmo_api.h"

namespace {

using zelmo_test::Recorder;
using zelmo_test::TestCloud;

class RuleTest : public ::testing::Test {
 protected:
  // Opens a tunnel to serial of account user/password on cloud.
  void Open(TestCloud& cloud, const char* user, const char* password, const char* serial) {
    ASSERT_TRUE(cloud.started());
    client_ = zelmo_test::MakeClient(cloud, recorder_, user, password);
    ASSERT_NE(client_, nullptr);
    Zelmo_ClientTryConnectDeviceViaTennelV3(client_, serial);
    ASSERT_TRUE(recorder_.WaitFor([this] { return recorder_.connected > 0; }));
    context_ = ZelmoTunnelContext(client_);
    tunnel_id_ = recorder_.tunnel_id;
  }
  // Adds a rule on a free loopback port; the port, or 0.
  uint16_t Map(const char* service) {
    uint16_t port = zelmo_test::FreePort();
    return Zelmo_AddT2URule(context_, tunnel_id_.c_str(), 0, service, "127.0.0.1", port) == 0 ? port
                                                                                              : 0;
  }
  void TearDown() override {
    if (client_ != nullptr)
      Zelmo_DeleteClient(client_);
  }

  Recorder recorder_;
  void* client_ = nullptr;
  void* context_ = nullptr;
  std::string tunnel_id_;
};

TEST_F(RuleTest, RefusesUnknownNamesOtherTunnelsAndBadAddressesForGood) {
  TestCloud cloud;
  Open(cloud, "alice", "secret", "SN-ON");
  uint16_t port = zelmo_test::FreePort();
  EXPECT_EQ(Zelmo_AddT2URule(context_, "tn-on", 0, "TelnetPort", "127.0.0.1", port), -2);
  EXPECT_EQ(Zelmo_AddT2URule(context_, "tn-on", 0, "httpport", "127.0.0.1", port), -2);
  EXPECT_EQ(Zelmo_AddT2URule(context_, "tn-off", 0, "HttpPort", "127.0.0.1", port), -2);
  EXPECT_EQ(Zelmo_AddT2URule(context_, "tn-on", 0, "HttpPort", "no address", port), -2);
  EXPECT_EQ(Zelmo_AddT2URule(nullptr, "tn-on", 0, "HttpPort", "127.0.0.1", port), -2);
  EXPECT_EQ(Zelmo_GetT2UCounter(nullptr, 1), 0);
}

TEST_F(RuleTest, BusyPortGivesMinusOneAndTheNextPortWorks) {
  TestCloud cloud;
  Open(cloud, "alice", "secret", "SN-ON");
  asio::io_context io;
  asio::ip::tcp::acceptor other(io, {asio::ip::address_v4::loopback(), 0});
  uint16_t busy = other.local_endpoint().port();
  EXPECT_EQ(Zelmo_AddT2URule(context_, "tn-on", 0, "RTSPPort", "127.0.0.1", busy), -1);
  uint16_t port = zelmo_test::FreePort();
  EXPECT_EQ(Zelmo_AddT2URule(context_, "tn-on", 0, "RTSPPort", "127.0.0.1", port), 0);
  EXPECT_EQ(Zelmo_AddT2URule(context_, "tn-on", 0, "HttpPort", "127.0.0.1", port), -1);
}

// Eight streams through the echo service at once, 2 MiB of random bytes each
// way on each: everything comes back intact and the counter covers it all.
TEST_F(RuleTest, EightStreamsCarrySixteenMiBBothWaysIntact) {
  TestCloud cloud;
  Open(cloud, "alice", "secret", "SN-ON");
  uint16_t port = Map("SdkMapPort");
  ASSERT_NE(port, 0);
  const std::size_t kPerStream = 2 * 1024 * 1024;
  const std::string greeting = "SdkMapPort service of SN-ON (Lab)\r\n";
  int64_t before = Zelmo_GetT2UCounter(context_, 1);
  std::array<bool, 8> intact{};
  std::vector<std::thread> streams;
  for (int s = 0; s < 8; ++s) {
    streams.emplace_back([&, s] {
      std::vector<char> sent(kPerStream);
      std::mt19937 random(s + 1);
      for (char& c : sent)
        c = static_cast<char>(random());
      asio::io_context io;
      asio::ip::tcp::socket socket(io);
      if (!zelmo_test::ConnectLoopback(socket, port))
        return;
      std::thread writer([&] {
        std::error_code ignored;
        asio::write(socket, asio::buffer(sent), ignored);
      });
      std::vector<char> got(greeting.size() + kPerStream);
      std::error_code ec;
      asio::read(socket, asio::buffer(got), ec);
      writer.join();
      intact[s] = !ec && std::string(got.data(), greeting.size()) == greeting &&
                  std::equal(sent.begin(), sent.end(), got.begin() + greeting.size());
    });
  }
  for (auto& stream : streams)
    stream.join();
  for (int s = 0; s < 8; ++s)
    EXPECT_TRUE(intact[s]) << "stream " << s;
  // The last chunks are counted when their writes complete, which may be just
  // after the reader got them.
  const int64_t carried = 2 * 8 * kPerStream;
  for (int i = 0; i < 100 && Zelmo_GetT2UCounter(context_, 1) - before < carried; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(Zelmo_GetT2UCounter(context_, 1) - before, carried);
  // Streams start on a connection the library keeps ready at the relay, and a
  // used one is replaced.
  for (int i = 0; i < 100 && cloud.DeviceStats("SN-ON")["ready"] != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(cloud.DeviceStats("SN-ON")["ready"], 1);
}

TEST_F(RuleTest, MediaStreamsAsFastAsTheReaderTakesIt) {
  TestCloud cloud;
  Open(cloud, "alice", "secret", "SN-ON");
  uint16_t port = Map("MediaPort");
  ASSERT_NE(port, 0);
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  ASSERT_TRUE(zelmo_test::ConnectLoopback(socket, port));
  asio::write(socket, asio::buffer("pattern\n", 8));
  std::vector<unsigned char> got(3 * 1024 * 1024 + 17);
  asio::read(socket, asio::buffer(got));
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < got.size(); ++i)
    wrong += got[i] != (i & 0xff) ? 1 : 0;
  EXPECT_EQ(wrong, 0u);
}

TEST_F(RuleTest, RtspAnswersOptionsAndDescribe) {
  TestCloud cloud;
  Open(cloud, "alice", "secret", "SN-ON");
  uint16_t port = Map("RTSPPort");
  ASSERT_NE(port, 0);
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  ASSERT_TRUE(zelmo_test::ConnectLoopback(socket, port));
  std::string request =
      "OPTIONS rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 2\r\n\r\n"
      "DESCRIBE rtsp://127.0.0.1/ RTSP/1.0\r\nCSeq: 3\r\nAccept: application/sdp\r\n\r\n";
  asio::write(socket, asio::buffer(request));
  std::string answers;
  std::error_code ec;
  while (!ec && answers.find("H264/90000") == std::string::npos && answers.size() < 65536) {
    char part[1024];
    answers.append(part, socket.read_some(asio::buffer(part), ec));
  }
  EXPECT_EQ(answers.rfind("RTSP/1.0 200 OK\r\nCSeq: 2\r\n", 0), 0u) << answers;
  EXPECT_NE(answers.find("SETUP"), std::string::npos);
  EXPECT_NE(answers.find("RTSP/1.0 200 OK\r\nCSeq: 3\r\n"), std::string::npos) << answers;
  EXPECT_NE(answers.find("m=video"), std::string::npos);
  EXPECT_NE(answers.find("H264/90000"), std::string::npos);
}

// The demo device's web interface through a mapped port, as the browser gets
// there after the gateway's redirect (Key2 as the gateway sends it).
TEST_F(RuleTest, DemoDeviceSignsInAsAdminThroughAMappedPort) {
  TestCloud cloud("");
  Open(cloud, "demo", "demo", "DEMO-0001");
  uint16_t port = Map("HttpPort");
  ASSERT_NE(port, 0);
  ASSERT_EQ(Zelmo_ListMyDeviceV3(client_, "Front door"), 0);
  const char* entry = ZelmoDeviceEntry(client_, 0);
  std::string user = ZelmoEntryUser(entry);
  std::string key = ZelmoEntryKey(entry);
  // {"ip":"192.168.1.5","sdk":"6061","http":"8081","rtsp":"5555","live":"7071",
  //  "sip":"0","ipchttp":"8082","ipcrtsp":"5556"}
  std::string key2 =
      "eyJpcCI6IjE5Mi4xNjguMS41Iiwic2RrIjoiNjA2MSIsImh0dHAiOiI4MDgxIiwicnRzcCI6IjU1NTUiLCJsaXZl"
      "IjoiNzA3MSIsInNpcCI6IjAiLCJpcGNodHRwIjoiODA4MiIsImlwY3J0c3AiOiI1NTU2In0=";
  httplib::Client browser("localhost", port);
  auto page = browser.Get(("/?user=" + user + "&Key=" + key + "&Key2=" + key2).c_str());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Signed in as admin"), std::string::npos);
  EXPECT_NE(page->body.find("Front door"), std::string::npos);
  EXPECT_NE(page->body.find("DEMO-0001"), std::string::npos);
  EXPECT_NE(page->body.find("<td>live</td><td>7071</td>"), std::string::npos);
  auto wrong = browser.Get(("/?user=" + user + "&Key=nope&Key2=" + key2).c_str());
  ASSERT_TRUE(wrong);
  EXPECT_NE(wrong->body.find("Wrong user or key"), std::string::npos);
  EXPECT_EQ(wrong->body.find("Signed in as"), std::string::npos);
}

}  // namespace

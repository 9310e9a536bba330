// The cloud in-process on free ports: the clock and its admin switches, the
// account API, device admin, the relay's protocol seen from a bare socket, and
// services exposed on loopback ports.
#include "devcloud/cloud.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "devcloud/relay_lines_testing.h"
#include "zelmo/wire.h"

namespace {

using asio::ip::tcp;
using nlohmann::json;

const char* const kConfig = R"({"accounts": [
  {"user": "alice", "password": "secret", "devices": [
    {"sn": "SN-ON", "name": "Lab", "tunnel_id": "tn-on", "user": "admin", "key": "K1"},
    {"sn": "SN-OFF", "name": "Shed", "tunnel_id": "tn-off", "user": "admin", "key": "K2",
     "online": false}]},
  {"user": "bob", "password": "pw", "devices": [
    {"sn": "SN-BOB", "name": "Bob", "tunnel_id": "tn-bob", "user": "admin", "key": "K4"}]}
]})";

class CloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devcloud::CloudOptions options;
    options.listen_port = 0;
    std::string why;
    ASSERT_EQ(devcloud::ParseConfig(kConfig, options.config, why), 0) << why;
    options.expose = {"SN-ON"};
    ASSERT_EQ(cloud_.Start(options, why), 0) << why;
  }

  httplib::Result Get(const std::string& path) { return Http().Get(path.c_str()); }
  int Post(const std::string& path) {
    auto result = Http().Post(path.c_str(), "", "application/json");
    return result ? result->status : -1;
  }
  httplib::Client Http() { return httplib::Client("127.0.0.1", cloud_.http_port()); }
  json DeviceStats(const std::string& sn) {
    auto result = Get("/admin/stats");
    if (!result)
      return json();
    json stats = json::parse(result->body);
    for (const json& device : stats["devices"]) {
      if (device["sn"] == sn)
        return device;
    }
    return json();
  }
  std::string Token(const char* user, const char* password) {
    json request = {{"user", user}, {"password", password}};
    auto result = Http().Post(zelmo::kPathSignIn, request.dump(), "application/json");
    if (!result || result->status != 200)
      return std::string();
    return json::parse(result->body)["token"];
  }
  // Connects to the relay and sends one line.
  bool Hello(tcp::socket& socket, const std::string& line) {
    return devcloud_testing::SayHello(socket, cloud_.relay_port(), line);
  }
  std::string ReadLine(tcp::socket& socket, std::string& inbox) {
    return devcloud_testing::ReadLineWithin(io_, socket, inbox);
  }

  std::mutex said_mutex_;
  std::vector<std::string> said_;
  devcloud::Cloud cloud_{[this](const std::string& line) {
    std::lock_guard<std::mutex> lock(said_mutex_);
    said_.push_back(line);
  }};
  asio::io_context io_;
};

TEST_F(CloudTest, ClockFollowsTheAdminSwitches) {
  auto now = Get("/getime");
  ASSERT_TRUE(now);
  ASSERT_EQ(now->body.rfind("t=", 0), 0u);
  long long t = std::stoll(now->body.substr(2));
  EXPECT_LE(std::llabs(t - static_cast<long long>(std::time(nullptr))), 5);
  ASSERT_EQ(Post("/admin/clock?offset=-3600"), 200);
  long long shifted = std::stoll(Get("/getime")->body.substr(2));
  EXPECT_LE(std::llabs(shifted + 3600 - static_cast<long long>(std::time(nullptr))), 5);
  ASSERT_EQ(Post("/admin/clock?fixed=1234567890"), 200);
  EXPECT_EQ(Get("/getime")->body, "t=1234567890");
  ASSERT_EQ(Post("/admin/clock?status=503"), 200);
  EXPECT_EQ(Get("/getime")->status, 503);
  ASSERT_EQ(Post("/admin/clock?status=200"), 200);
  EXPECT_EQ(Get("/getime")->body, "t=1234567890");
  ASSERT_EQ(Post("/admin/clock?offset=0"), 200);
  EXPECT_NE(Get("/getime")->body, "t=1234567890");
}

TEST_F(CloudTest, AdminRefusesBadRequestsWithAReason) {
  struct Case {
    const char* path;
    const char* reason;
  };
  const Case cases[] = {
      {"/admin/clock", "give offset, fixed or status"},
      {"/admin/clock?offset=soon", "bad offset"},
      {"/admin/clock?fixed=12x", "bad fixed time"},
      {"/admin/clock?status=42", "status must be 100 to 599"},
      {"/admin/device?sn=NOPE&online=1", "unknown device"},
      {"/admin/device?sn=SN-ON&online=yes", "online must be 0 or 1"},
      {"/admin/netinfo?sn=SN-ON&code=1", "code and count must be 32-bit numbers"},
      {"/admin/netinfo?sn=SN-ON&code=1&count=99999999999", "code and count must be 32-bit"},
      {"/admin/drop?sn=", "unknown device"},
  };
  for (const Case& c : cases) {
    auto result = Http().Post(c.path, "", "application/json");
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->status, 400) << c.path;
    EXPECT_NE(result->body.find(c.reason), std::string::npos) << c.path << ": " << result->body;
  }
  auto ok = Http().Post("/admin/drop?sn=SN-ON", "", "application/json");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->body, "ok");
}

// What a cross-site page can send: a form's content type, or its own rebound
// host name. Neither moves the clock.
TEST_F(CloudTest, AdminActionsTakeOnlyJsonRequestsNamingThisHost) {
  auto form = Http().Post("/admin/clock?fixed=1234567890", "", "text/plain");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 415);
  auto rebound =
      Http().Post("/admin/clock?fixed=1234567890", httplib::Headers{{"Host", "rebound.test:8700"}},
                  "", "application/json");
  ASSERT_TRUE(rebound);
  EXPECT_EQ(rebound->status, 403);
  auto read = Http().Get("/admin/stats", httplib::Headers{{"Host", "rebound.test"}});
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 403);
  EXPECT_NE(Get("/getime")->body, "t=1234567890");
  EXPECT_EQ(Post("/admin/clock?fixed=1234567890"), 200);
  EXPECT_EQ(Get("/getime")->body, "t=1234567890");
  EXPECT_EQ(Post("/admin/clock?offset=0"), 200);
}

// "curl -X POST URL" sends neither Content-Length nor a body.
TEST_F(CloudTest, AdminPostWithoutContentLengthIsAnsweredAtOnce) {
  tcp::socket socket(io_);
  std::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), cloud_.http_port()}, ec);
  ASSERT_FALSE(ec) << ec.message();
  asio::write(socket,
              asio::buffer(std::string("POST /admin/clock?fixed=1234567890 HTTP/1.1\r\n"
                                       "Host: 127.0.0.1\r\n"
                                       "Content-Type: application/json\r\n\r\n")),
              ec);
  ASSERT_FALSE(ec) << ec.message();
  std::string inbox;
  EXPECT_EQ(ReadLine(socket, inbox).rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_EQ(Get("/getime")->body, "t=1234567890");
}

// The queue of the socket listening on 127.0.0.1:port as ss shows it (its
// Send-Q column), or -1.
int ListenQueue(uint16_t port) {
  std::string command = "ss -Hltn 'sport = :" + std::to_string(port) + "'";
  FILE* ss = popen(command.c_str(), "r");
  if (ss == nullptr)
    return -1;
  char state[32] = "";
  int received = 0;
  int queue = -1;
  if (fscanf(ss, "%31s %d %d", state, &received, &queue) != 3)
    queue = -1;
  pclose(ss);
  return queue;
}

TEST_F(CloudTest, PortIsOurOwnWithRoomForEveryGatewayWorker) {
  devcloud::CloudOptions options;
  options.listen_port = cloud_.http_port();
  std::string why;
  ASSERT_EQ(devcloud::ParseConfig(kConfig, options.config, why), 0) << why;
  devcloud::Cloud second(nullptr);
  EXPECT_EQ(second.Start(options, why), -1);
  EXPECT_EQ(why, "cannot listen on 127.0.0.1:" + std::to_string(cloud_.http_port()));
  EXPECT_GE(ListenQueue(cloud_.http_port()), 64);
}

TEST_F(CloudTest, SignInAndDeviceListNeedTheRightAccount) {
  EXPECT_EQ(Token("alice", "nope"), "");
  std::string alice = Token("alice", "secret");
  ASSERT_EQ(alice.size(), 32u);
  EXPECT_EQ(Token("alice", "secret"), alice);
  EXPECT_NE(Token("bob", "pw"), alice);
  auto refused = Http().Get(zelmo::kPathDevices, {{"Authorization", "Bearer wrong"}});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);
  auto list = Http().Get(zelmo::kPathDevices, {{"Authorization", "Bearer " + alice}});
  ASSERT_TRUE(list);
  json devices = json::parse(list->body)["devices"];
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[1]["sn"], "SN-OFF");
  EXPECT_EQ(devices[1]["tunnel_id"], "tn-off");
  EXPECT_EQ(devices[1]["key"], "K2");
}

TEST_F(CloudTest, DeviceSwitchShowsInStatsAndOnThePortal) {
  EXPECT_EQ(DeviceStats("SN-OFF")["online"], false);
  ASSERT_EQ(Post("/admin/device?sn=SN-OFF&online=1"), 200);
  EXPECT_EQ(DeviceStats("SN-OFF")["online"], true);
  ASSERT_EQ(Post("/admin/device?sn=SN-ON&online=0"), 200);
  EXPECT_EQ(DeviceStats("SN-ON")["online"], false);
  std::string portal = Get("/")->body;
  EXPECT_NE(portal.find("SN-ON &middot; offline"), std::string::npos);
  EXPECT_NE(portal.find("SN-OFF &middot; online"), std::string::npos);
  EXPECT_NE(portal.find("&amp;hi=127.0.0.1:" + std::to_string(cloud_.http_port()) + "&amp;\""),
            std::string::npos);
}

TEST_F(CloudTest, RelayRefusesStrangersAndOfflineDevices) {
  tcp::socket stranger(io_), foreign(io_), offline(io_), junk(io_), stream(io_);
  std::string a, b, c, d, e;
  ASSERT_TRUE(Hello(stranger, "TUNNEL nobody SN-ON\n"));
  EXPECT_EQ(ReadLine(stranger, a), "DENIED unknown-token");
  ASSERT_TRUE(Hello(foreign, "TUNNEL " + Token("bob", "pw") + " SN-ON\n"));
  EXPECT_EQ(ReadLine(foreign, b), "DENIED not-your-device");
  ASSERT_TRUE(Hello(offline, "TUNNEL " + Token("alice", "secret") + " SN-OFF\n"));
  EXPECT_EQ(ReadLine(offline, c), "OFFLINE");
  ASSERT_TRUE(Hello(junk, "HELLO there\n"));
  EXPECT_EQ(ReadLine(junk, d), "EOF");
  ASSERT_TRUE(Hello(stream, "STREAM 1-2 SdkMapPort\n"));
  EXPECT_EQ(ReadLine(stream, e), "EOF");
}

// A tunnel by hand: the stream reaches the device's echo service, its bytes are
// counted each way and the tunnel shows as relayed, events come on the control
// connection, and closing it ends the tunnel and its streams.
TEST_F(CloudTest, RelayJoinsStreamsOfAnOpenTunnelAndCountsThemEachWay) {
  tcp::socket control(io_), stream(io_);
  std::string control_in, stream_in;
  ASSERT_TRUE(Hello(control, "TUNNEL " + Token("alice", "secret") + " SN-ON\n"));
  std::vector<std::string> ok = zelmo::SplitWords(ReadLine(control, control_in));
  ASSERT_EQ(ok.size(), 3u);
  EXPECT_EQ(ok[0], "OK");
  EXPECT_EQ(ok[1], "tn-on");
  ASSERT_TRUE(Hello(stream, "STREAM " + ok[2] + " AccessIpcHTTPPort\nping\n"));
  EXPECT_EQ(ReadLine(stream, stream_in), "AccessIpcHTTPPort service of SN-ON (Lab)\r");
  EXPECT_EQ(ReadLine(stream, stream_in), "ping");
  // Greeting and "ping" both ways; a chunk is counted once its write completed,
  // which may be just after the reader got it.
  const int64_t carried = 42 + 5 + 5;
  json stats = DeviceStats("SN-ON");
  for (int i = 0; i < 100 && stats["bytes"].get<int64_t>() < carried; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stats = DeviceStats("SN-ON");
  }
  EXPECT_EQ(stats["tunnels"], 1);
  EXPECT_EQ(stats["streams"], 1);
  EXPECT_EQ(stats["bytes"].get<int64_t>(), carried);
  json open = json::parse(Get("/admin/stats")->body)["tunnels"];
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0]["sn"], "SN-ON");
  EXPECT_EQ(open[0]["path"], "cloud");
  EXPECT_EQ(open[0]["bytes_to_device"].get<int64_t>(), 5);
  EXPECT_EQ(open[0]["bytes_from_device"].get<int64_t>(), 42 + 5);
  EXPECT_NE(Get("/")->body.find("SN-ON &middot; online &middot; relayed</span>"),
            std::string::npos);
  ASSERT_EQ(Post("/admin/netinfo?sn=SN-ON&code=1&count=12"), 200);
  EXPECT_EQ(ReadLine(control, control_in), "NETINFO 1 12");
  control.close();
  EXPECT_EQ(ReadLine(stream, stream_in), "EOF");
  for (int i = 0; i < 100 && DeviceStats("SN-ON")["streams"] != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(DeviceStats("SN-ON")["tunnels"], 0);
  EXPECT_EQ(DeviceStats("SN-ON")["streams"], 0);
  EXPECT_EQ(json::parse(Get("/admin/stats")->body)["tunnels"].size(), 0u);
  EXPECT_NE(Get("/")->body.find("SN-ON &middot; online</span>"), std::string::npos);
}

// The agent keeps spares at the relay; streams opened back to back reach the
// service whether they take a spare or go the long way, and used spares are
// replaced. A spare for an unknown device, or without the link's secret, is
// refused.
TEST_F(CloudTest, StreamsTakeTheAgentsSparesWhichComeBack) {
  auto spares = [this] { return DeviceStats("SN-ON")["spares"]; };
  for (int i = 0; i < 100 && spares() != 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(spares(), 2);
  tcp::socket control(io_);
  std::string control_in;
  ASSERT_TRUE(Hello(control, "TUNNEL " + Token("alice", "secret") + " SN-ON\n"));
  std::vector<std::string> ok = zelmo::SplitWords(ReadLine(control, control_in));
  ASSERT_EQ(ok.size(), 3u);
  std::vector<tcp::socket> streams;
  for (int i = 0; i < 5; ++i) {
    streams.emplace_back(io_);
    ASSERT_TRUE(
        Hello(streams.back(), "STREAM " + ok[2] + " SdkMapPort\nping" + std::to_string(i) + "\n"));
  }
  for (int i = 0; i < 5; ++i) {
    std::string inbox;
    EXPECT_EQ(ReadLine(streams[i], inbox), "SdkMapPort service of SN-ON (Lab)\r");
    EXPECT_EQ(ReadLine(streams[i], inbox), "ping" + std::to_string(i));
  }
  for (int i = 0; i < 100 && spares() != 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(spares(), 2);
  EXPECT_EQ(DeviceStats("SN-ON")["streams"], 5);

  tcp::socket stranger(io_);
  std::string stranger_in;
  ASSERT_TRUE(Hello(stranger, "SPARE SN-NONE x\n"));
  EXPECT_EQ(ReadLine(stranger, stranger_in), "EOF");
  // Without the link's secret a spare would take the device's next stream.
  tcp::socket guesser(io_);
  std::string guesser_in;
  ASSERT_TRUE(Hello(guesser, "SPARE SN-ON 1-1\n"));
  EXPECT_EQ(ReadLine(guesser, guesser_in), "EOF");
  EXPECT_EQ(spares(), 2);
}

// A library's ready connection is answered "OK" and carries a stream once it
// names the service; one for an unknown tunnel is refused, and a waiting one
// ends with its tunnel.
TEST_F(CloudTest, ReadyStreamConnectionsWaitForTheirServiceAndEndWithTheTunnel) {
  tcp::socket control(io_), ready(io_), waiting(io_), stranger(io_);
  std::string control_in, ready_in, waiting_in, stranger_in;
  ASSERT_TRUE(Hello(control, "TUNNEL " + Token("alice", "secret") + " SN-ON\n"));
  std::vector<std::string> ok = zelmo::SplitWords(ReadLine(control, control_in));
  ASSERT_EQ(ok.size(), 3u);
  ASSERT_TRUE(Hello(ready, "READY " + ok[2] + "\n"));
  EXPECT_EQ(ReadLine(ready, ready_in), "OK");
  ASSERT_TRUE(Hello(waiting, "READY " + ok[2] + "\n"));
  EXPECT_EQ(ReadLine(waiting, waiting_in), "OK");
  ASSERT_TRUE(Hello(stranger, "READY 1-1\n"));
  EXPECT_EQ(ReadLine(stranger, stranger_in), "EOF");
  EXPECT_EQ(DeviceStats("SN-ON")["ready"], 2);

  asio::write(ready, asio::buffer(std::string("USE SdkMapPort\nping\n")));
  EXPECT_EQ(ReadLine(ready, ready_in), "SdkMapPort service of SN-ON (Lab)\r");
  EXPECT_EQ(ReadLine(ready, ready_in), "ping");
  EXPECT_EQ(DeviceStats("SN-ON")["streams"], 1);
  EXPECT_EQ(DeviceStats("SN-ON")["ready"], 1);
  control.close();
  EXPECT_EQ(ReadLine(waiting, waiting_in), "EOF");
  EXPECT_EQ(ReadLine(ready, ready_in), "EOF");
}

TEST_F(CloudTest, ExposedServicesAnswerOnLoopbackPortsWithoutATunnel) {
  std::map<std::string, uint16_t> ports;
  {
    std::lock_guard<std::mutex> lock(said_mutex_);
    for (const std::string& line : said_) {
      std::size_t at = line.find(" on 127.0.0.1:");
      if (line.rfind("devcloud: SN-ON ", 0) != 0 || at == std::string::npos)
        continue;
      ports[line.substr(16, at - 16)] = static_cast<uint16_t>(std::stoi(line.substr(at + 14)));
    }
  }
  ASSERT_EQ(ports.size(), 7u);
  tcp::socket echo(io_), media(io_);
  echo.connect({asio::ip::address_v4::loopback(), ports["SdkMapPort"]});
  std::string inbox;
  EXPECT_EQ(ReadLine(echo, inbox), "SdkMapPort service of SN-ON (Lab)\r");
  media.connect({asio::ip::address_v4::loopback(), ports["MediaPort"]});
  asio::write(media, asio::buffer("pattern\n", 8));
  std::vector<unsigned char> got(600000);
  asio::read(media, asio::buffer(got));
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < got.size(); ++i)
    wrong += got[i] != (i & 0xff) ? 1 : 0;
  EXPECT_EQ(wrong, 0u);
  httplib::Client web("127.0.0.1", ports["HttpPort"]);
  auto page = web.Get("/?user=admin&Key=K1");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("Signed in as admin"), std::string::npos);
}

}  // namespace

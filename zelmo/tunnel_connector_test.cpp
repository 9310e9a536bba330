// Opening a tunnel against a relay that answers as the test scripts it: the
// pauses between attempts, a refusal for good that ends the attempts, and a
// relay that falls silent under an open tunnel.
#include "zelmo/tunnel_connector.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "zelmo/zelmo_api.h"
#include "zelmo/scripted_server.h"
#include "zelmo/wire.h"

namespace {

using asio::ip::tcp;
using zelmo_test::ScriptedServer;

std::mutex log_mutex;
std::vector<std::pair<int, std::string>> log_lines;

void CollectLine(int level, const char* text) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_lines.emplace_back(level, text);
}

int CountLogged(int level, const std::string& part) {
  std::lock_guard<std::mutex> lock(log_mutex);
  int count = 0;
  for (const auto& line : log_lines)
    count += line.first == level && line.second.find(part) != std::string::npos ? 1 : 0;
  return count;
}

// A connector on the test's own io_context, counting what it reports.
class ConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Zelmo_SetLogFunc(CollectLine);
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines.clear();
  }
  void TearDown() override { Zelmo_SetLogFunc(nullptr); }

  std::unique_ptr<zelmo::TunnelConnector> Connector(uint16_t relay_port) {
    zelmo::TunnelConnector::Events events;
    events.check_listed = [](const std::string&, std::function<void(bool)> done) { done(true); };
    events.up = [this](zelmo::Tunnel&) { ++up_; };
    events.closed = [this] {
      ++closed_;
      if (closed_hook_)
        closed_hook_();
    };
    return std::make_unique<zelmo::TunnelConnector>(
        io_, tcp::endpoint(asio::ip::address_v4::loopback(), relay_port), "tok", zelmo::TurnServer{},
        events);
  }

  asio::io_context io_;
  int up_ = 0;
  int closed_ = 0;
  std::function<void()> closed_hook_;
};

TEST(RetryPause, DoublesFromASecondUpToAMinute) {
  const int expected[] = {1, 2, 4, 8, 16, 32, 60, 60, 60};
  for (int i = 0; i < 9; ++i)
    EXPECT_EQ(zelmo::RetryPause(i).count(), expected[i]) << i;
}

// Not the account's device: one attempt, one line at level 3, and no more
// connections to the relay however long the session waits.
TEST_F(ConnectorTest, RefusalForGoodEndsTheAttempts) {
  ScriptedServer relay([](ScriptedServer& server, tcp::socket& socket, const std::string&) {
    asio::write(socket, asio::buffer(std::string("DENIED not-your-device\n")));
    ScriptedServer::Drain(server, socket);
  });
  auto connector = Connector(relay.port());
  connector->Open("SN-BOB");
  io_.run_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(relay.CountHeads("TUNNEL tok SN-BOB"), 1);
  EXPECT_EQ(CountLogged(3, "refused a tunnel to SN-BOB for good: not-your-device"), 1);
  EXPECT_EQ(up_, 0);
  EXPECT_EQ(closed_, 0);
}

// A relay that answers a few pings and then falls silent without closing (as
// when the network between vanishes): the tunnel stays up while pings are
// answered, and is closed, with its callback, once they are not.
TEST_F(ConnectorTest, SilentRelayLosesTheTunnel) {
  std::atomic<int> pongs{0};
  ScriptedServer relay(
      [&pongs](ScriptedServer& server, tcp::socket& socket, const std::string& head) {
        if (head.rfind("TUNNEL ", 0) != 0)
          return ScriptedServer::Drain(server, socket);
        asio::write(socket, asio::buffer(std::string("OK tn-1 key-1\n")));
        std::string inbox;
        std::error_code ec;
        while (!ec && !server.stopping()) {
          std::size_t n = asio::read_until(socket, asio::dynamic_buffer(inbox, 4096), '\n', ec);
          if (!ec && inbox.compare(0, n, "PING\n") == 0 && pongs.load() < 3) {
            asio::write(socket, asio::buffer(std::string("PONG\n")), ec);
            pongs.fetch_add(1);
          }
          inbox.erase(0, n);
        }
      });
  zelmo::SetKeepAliveInterval(std::chrono::milliseconds(250));
  auto connector = Connector(relay.port());
  int pongs_at_close = -1;
  closed_hook_ = [&] { pongs_at_close = pongs.load(); };
  connector->Open("SN-1");
  for (int i = 0; i < 200 && closed_ == 0; ++i)
    io_.run_for(std::chrono::milliseconds(50));
  zelmo::SetKeepAliveInterval(zelmo::kKeepAliveInterval);
  EXPECT_EQ(up_, 1);
  EXPECT_EQ(closed_, 1);
  EXPECT_EQ(pongs_at_close, 3) << "closed while the relay still answered";
  EXPECT_EQ(CountLogged(3, "no word from the relay for"), 1);
}

}  // namespace

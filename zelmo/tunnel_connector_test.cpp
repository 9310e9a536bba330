// Opening a tunnel against a relay that answers as the test scripts it: the
// pauses between attempts, and a refusal for good that ends the attempts.
#include "zelmo/tunnel_connector.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "zelmo/zelmo_api.h"
#include "zelmo/scripted_server.h"

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
    events.closed = [this] { ++closed_; };
    return std::make_unique<zelmo::TunnelConnector>(
        io_, tcp::endpoint(asio::ip::address_v4::loopback(), relay_port), "tok", events);
  }

  asio::io_context io_;
  int up_ = 0;
  int closed_ = 0;
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

}  // namespace

// A port rule carries at most kMaxRuleStreams streams at once: one more
// connection is closed at once, and a stream that ends makes room again.
#include "zelmo/port_rule.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using asio::ip::tcp;

// Keeps every stream it is handed, with its local connection, until told.
class KeepingTransport : public zelmo::Transport {
 public:
  void Carry(tcp::socket local, const std::string&, std::shared_ptr<void> stream) override {
    sockets.push_back(std::move(local));
    streams.push_back(std::move(stream));
  }
  void Close() override {}
  zelmo::TunnelPath path() const override { return {}; }
  std::vector<tcp::socket> sockets;
  std::vector<std::shared_ptr<void>> streams;
};

// Runs the rule's handlers until done() or a few seconds have passed.
template <typename Done>
bool RunUntil(asio::io_context& io, Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(std::chrono::milliseconds(10));
  }
  return done();
}

TEST(PortRuleTest, StreamsPastTheLimitAreClosedUntilOneEnds) {
  asio::io_context io;
  tcp::acceptor acceptor(io);
  std::string why;
  ASSERT_EQ(zelmo::OpenListener(acceptor, asio::ip::make_address("127.0.0.1"), 0, why), 0) << why;
  const uint16_t port = acceptor.local_endpoint().port();
  KeepingTransport transport;
  zelmo::PortRule rule(std::move(acceptor), "HttpPort", transport);
  rule.Start();

  const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), port);
  std::vector<tcp::socket> clients;
  auto connect_one = [&] {
    clients.emplace_back(io);
    clients.back().connect(at);
  };
  for (size_t i = 1; i <= zelmo::kMaxRuleStreams; ++i) {
    connect_one();
    ASSERT_TRUE(RunUntil(io, [&] { return transport.streams.size() == i; }));
  }

  // One more: the rule closes it without handing it on.
  connect_one();
  clients.back().non_blocking(true);
  auto closed_by_rule = [&] {
    char byte = 0;
    std::error_code ec;
    clients.back().read_some(asio::buffer(&byte, 1), ec);
    return ec && ec != asio::error::would_block;
  };
  EXPECT_TRUE(RunUntil(io, closed_by_rule));
  EXPECT_EQ(transport.streams.size(), static_cast<size_t>(zelmo::kMaxRuleStreams));

  // A stream that ended makes room for the next connection.
  transport.streams.front().reset();
  connect_one();
  EXPECT_TRUE(
      RunUntil(io, [&] { return transport.streams.size() == zelmo::kMaxRuleStreams + 1u; }));
  rule.Close();
}

}  // namespace

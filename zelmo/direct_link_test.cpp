// Two sides of a direct path in one process, on loopback, with their set-up
// lines handed across directly: streams carried byte for byte both ways with
// their ends, and a stalled stream that holds back no other.
#include "zelmo/direct_link.h"

#include <gtest/gtest.h>

#include <list>

#include "zelmo/pipe_testing.h"

namespace {

using asio::ip::tcp;
using zelmo::DirectLink;
using zelmo_testing::kMiB;
using zelmo_testing::Pattern;
using zelmo_testing::Peer;

struct DirectPair {
  DirectPair() {
    DirectLink::Events library_events;
    library_events.send = [this](const std::vector<std::string>& words) {
      asio::post(io, [this, words] { agent->OnLine(words); });
    };
    library_events.path = [this](const zelmo::TunnelPath& path, bool usable) {
      library_path = path;
      library_usable = usable;
    };
    library_events.ended = [this](const std::string& why) { ended = why; };
    DirectLink::Events agent_events;
    agent_events.send = [this](const std::vector<std::string>& words) {
      asio::post(io, [this, words] { library->OnLine(words); });
    };
    agent_events.path = [](const zelmo::TunnelPath&, bool) {};
    agent_events.ended = [this](const std::string& why) { ended = why; };
    agent_events.service = [this](const std::string& service, tcp::endpoint& at) {
      if (service != "HttpPort")
        return false;
      at = device_acceptor.local_endpoint();
      return true;
    };
    library = std::make_shared<DirectLink>(io, DirectLink::Side::kLibrary, zelmo::TurnServer{},
                                           library_counters, library_events);
    agent = std::make_shared<DirectLink>(io, DirectLink::Side::kAgent, zelmo::TurnServer{},
                                         agent_counters, agent_events);
  }
  ~DirectPair() {
    library->Close();
    agent->Close();
  }

  bool RunUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
      io.run_for(std::chrono::milliseconds(20));
    return done();
  }

  bool Up() {
    library->Offer(1);
    return RunUntil([this] { return library_usable || !ended.empty(); },
                    std::chrono::seconds(20)) &&
           library_usable;
  }

  // A user's connection carried as a stream, and the device's end of it.
  struct Stream {
    explicit Stream(asio::io_context& io) : user(io), device(io) {}
    Peer user;
    Peer device;
  };

  Stream& Open(std::string to_device, std::string to_user, bool device_reads = true) {
    streams.emplace_back(io);
    Stream& stream = streams.back();
    stream.user.out = std::move(to_device);
    stream.device.out = std::move(to_user);
    tcp::acceptor local(io, {asio::ip::address_v4::loopback(), 0});
    stream.user.socket.connect(local.local_endpoint());
    tcp::socket carried(io);
    local.accept(carried);
    EXPECT_TRUE(library->Carry(carried, "HttpPort", nullptr));
    device_acceptor.async_accept([&stream, device_reads](std::error_code ec, tcp::socket s) {
      ASSERT_FALSE(ec);
      stream.device.socket = std::move(s);
      if (device_reads)
        stream.device.Start();
    });
    stream.user.Start();
    return stream;
  }

  asio::io_context io;
  // Work from the engine's thread arrives while the loop may have nothing else.
  asio::executor_work_guard<asio::io_context::executor_type> busy = asio::make_work_guard(io);
  tcp::acceptor device_acceptor{io, {asio::ip::address_v4::loopback(), 0}};
  std::shared_ptr<zelmo::DirectCounters> library_counters =
      std::make_shared<zelmo::DirectCounters>();
  std::shared_ptr<zelmo::DirectCounters> agent_counters = std::make_shared<zelmo::DirectCounters>();
  std::shared_ptr<DirectLink> library;
  std::shared_ptr<DirectLink> agent;
  zelmo::TunnelPath library_path;
  bool library_usable = false;
  std::string ended;
  std::list<Stream> streams;
};

TEST(DirectLinkTest, StreamsCarryBytesAndEndsBothWays) {
  DirectPair pair;
  ASSERT_TRUE(pair.Up()) << pair.ended;
  EXPECT_EQ(pair.library_path.kind, zelmo::PathKind::kDirect);
  EXPECT_FALSE(pair.library_path.address.empty());

  const std::string up = Pattern(4 * kMiB, 1), down = Pattern(3 * kMiB + 7, 2);
  auto& first = pair.Open(up, down);
  auto& second = pair.Open(down, up);
  ASSERT_TRUE(pair.RunUntil(
      [&] {
        return first.user.ended && first.device.ended && second.user.ended && second.device.ended;
      },
      std::chrono::seconds(60)));
  EXPECT_EQ(first.device.in, up);
  EXPECT_EQ(first.user.in, down);
  EXPECT_EQ(second.device.in, down);
  EXPECT_EQ(second.user.in, up);
  const int64_t carried = static_cast<int64_t>(2 * (up.size() + down.size()));
  EXPECT_EQ(pair.library_counters->to_device + pair.library_counters->from_device, carried);
  EXPECT_EQ(pair.agent_counters->to_device, pair.library_counters->to_device.load());
  EXPECT_TRUE(pair.ended.empty()) << pair.ended;
}

TEST(DirectLinkTest, AStalledStreamHoldsBackNoOther) {
  DirectPair pair;
  ASSERT_TRUE(pair.Up()) << pair.ended;
  // The device never reads the first stream: at most its window is in flight.
  auto& stalled = pair.Open(Pattern(32 * kMiB, 3), "", false);
  pair.RunUntil([] { return false; }, std::chrono::seconds(1));
  auto& flowing = pair.Open(Pattern(2 * kMiB, 4), Pattern(2 * kMiB, 5));
  ASSERT_TRUE(pair.RunUntil([&] { return flowing.user.ended && flowing.device.ended; },
                            std::chrono::seconds(30)));
  EXPECT_EQ(flowing.device.in, flowing.user.out);
  EXPECT_EQ(flowing.user.in, flowing.device.out);
  EXPECT_FALSE(stalled.user.ended);
  // What left the stalled user is bounded by the window and the socket buffers.
  EXPECT_LT(pair.agent_counters->to_device.load() - 2 * static_cast<int64_t>(kMiB),
            static_cast<int64_t>(16 * kMiB));
}

}  // namespace

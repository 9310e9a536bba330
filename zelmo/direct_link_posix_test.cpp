// The two sides of a direct path in two processes, as in life: the set-up
// lines go over a socket pair between them, and a stream is echoed by the
// child's device service.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "zelmo/direct_link.h"
#include "zelmo/pipe_testing.h"
#include "zelmo/wire.h"

namespace {

using asio::ip::tcp;
using zelmo::DirectLink;
using zelmo_testing::kMiB;
using zelmo_testing::Pattern;
using zelmo_testing::Peer;

// Lines to and from the other process.
struct LineWire {
  LineWire(asio::io_context& io, int fd) : stream(io, fd) {}
  void Send(const std::vector<std::string>& words) {
    auto line = std::make_shared<std::string>(zelmo::MakeLine(words));
    asio::async_write(stream, asio::buffer(*line), [line](std::error_code, std::size_t) {});
  }
  void Read(std::function<void(const std::vector<std::string>&)> on_line) {
    asio::async_read_until(stream, asio::dynamic_buffer(inbox, 4096), '\n',
                           [this, on_line](std::error_code ec, std::size_t) {
                             if (ec)
                               return;
                             std::string line;
                             while (zelmo::TakeLine(inbox, line))
                               on_line(zelmo::SplitWords(line));
                             Read(on_line);
                           });
  }
  asio::posix::stream_descriptor stream;
  std::string inbox;
};

// The child: an agent whose device echoes "HttpPort", for at most 30 s.
int RunAgent(int fd) {
  asio::io_context io;
  LineWire wire(io, fd);
  tcp::acceptor echo(io, {asio::ip::address_v4::loopback(), 0});
  std::function<void()> accept = [&] {
    echo.async_accept([&](std::error_code ec, tcp::socket s) {
      if (ec)
        return;
      auto socket = std::make_shared<tcp::socket>(std::move(s));
      auto buffer = std::make_shared<std::array<char, 65536>>();
      auto pump = std::make_shared<std::function<void()>>();
      *pump = [socket, buffer, pump] {
        socket->async_read_some(asio::buffer(*buffer),
                                [socket, buffer, pump](std::error_code e, std::size_t n) {
                                  if (e) {
                                    std::error_code ignored;
                                    socket->shutdown(tcp::socket::shutdown_send, ignored);
                                    *pump = nullptr;
                                    return;
                                  }
                                  asio::async_write(*socket, asio::buffer(buffer->data(), n),
                                                    [pump](std::error_code e2, std::size_t) {
                                                      if (!e2 && *pump)
                                                        (*pump)();
                                                    });
                                });
      };
      (*pump)();
      accept();
    });
  };
  accept();
  DirectLink::Events events;
  events.send = [&](const std::vector<std::string>& words) { wire.Send(words); };
  events.path = [](const zelmo::TunnelPath&, bool) {};
  events.ended = [&](const std::string&) { io.stop(); };
  events.service = [&](const std::string& service, tcp::endpoint& at) {
    at = echo.local_endpoint();
    return service == "HttpPort";
  };
  auto agent = std::make_shared<DirectLink>(io, DirectLink::Side::kAgent, zelmo::TurnServer{},
                                            std::make_shared<zelmo::DirectCounters>(), events);
  wire.Read([&](const std::vector<std::string>& words) {
    if (words.size() == 1 && words[0] == "BYE")
      return io.stop();
    agent->OnLine(words);
  });
  io.run_for(std::chrono::seconds(30));
  agent->Close();
  return 0;
}

TEST(DirectLinkProcessTest, TwoProcessesCarryAStreamBothWays) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    _exit(RunAgent(fds[1]));
  }
  close(fds[1]);
  asio::io_context io;
  auto busy = asio::make_work_guard(io);
  LineWire wire(io, fds[0]);
  bool usable = false;
  std::string ended;
  DirectLink::Events events;
  events.send = [&](const std::vector<std::string>& words) { wire.Send(words); };
  events.path = [&](const zelmo::TunnelPath&, bool now) { usable = now; };
  events.ended = [&](const std::string& why) { ended = why; };
  auto library = std::make_shared<DirectLink>(io, DirectLink::Side::kLibrary, zelmo::TurnServer{},
                                              std::make_shared<zelmo::DirectCounters>(), events);
  wire.Read([&](const std::vector<std::string>& words) { library->OnLine(words); });
  auto run_until = [&](const std::function<bool()>& done, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < deadline)
      io.run_for(std::chrono::milliseconds(20));
    return done();
  };
  library->Offer(1);
  EXPECT_TRUE(run_until([&] { return usable || !ended.empty(); }, 20)) << ended;
  // Still usable after several pings each way.
  run_until([] { return false; }, 3);
  EXPECT_TRUE(usable) << ended;

  Peer user(io);
  user.out = Pattern(2 * kMiB, 7);
  tcp::acceptor local(io, {asio::ip::address_v4::loopback(), 0});
  user.socket.connect(local.local_endpoint());
  tcp::socket carried(io);
  local.accept(carried);
  if (usable && library->Carry(carried, "HttpPort", nullptr)) {
    user.Start();
    EXPECT_TRUE(run_until([&] { return user.ended; }, 30));
    EXPECT_EQ(user.in, user.out);
  } else {
    ADD_FAILURE() << "the path took no stream";
  }
  wire.Send({"BYE"});
  run_until([] { return false; }, 0);
  library->Close();
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace

// What the pipe tests share: two loopback connections joined by a Pipe, and a
// peer on the far end of each that sends its bytes, half-closes, and keeps
// what it receives. A peer may hold back the rest of its bytes until its own
// side has ended (an answer after a request), or reset its connection after a
// given count, and it reports each chunk it receives to the test.
#pragma once
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "zelmo/pipe.h"

namespace zelmo_testing {

using asio::ip::tcp;

constexpr std::size_t kMiB = 1024 * 1024;

// Bytes in which a lost, doubled or swapped chunk cannot go unnoticed.
inline std::string Pattern(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes)
    byte = static_cast<char>(random());
  return bytes;
}

struct Peer {
  explicit Peer(asio::io_context& io) : socket(io) {}

  void Start() {
    Send(std::min(hold_from, out.size()));
    Receive();
  }

  tcp::socket socket;
  std::string out;                              // sent, then the peer half-closes
  std::size_t hold_from = std::string::npos;    // the rest waits for the end of in
  std::size_t reset_after = std::string::npos;  // resets once it has this much
  std::function<void()> on_received;
  std::string in;
  bool ended = false;  // in ended in order
  std::error_code failure;

 private:
  void Send(std::size_t upto) {
    asio::async_write(socket, asio::buffer(out.data() + sent_, upto - sent_),
                      [this, upto](std::error_code ec, std::size_t) {
                        if (ec) {
                          failure = ec;
                          return;
                        }
                        sent_ = upto;
                        std::error_code ignored;
                        if (sent_ == out.size())
                          return (void)socket.shutdown(tcp::socket::shutdown_send, ignored);
                        held_ = true;
                        if (ended)
                          Release();
                      });
  }
  void Release() {
    held_ = false;
    Send(out.size());
  }
  void Receive() {
    socket.async_read_some(asio::buffer(chunk_), [this](std::error_code ec, std::size_t n) {
      in.append(chunk_.data(), n);
      if (on_received)
        on_received();
      if (ec == asio::error::eof) {
        ended = true;
        if (held_)
          Release();
        return;
      }
      if (ec) {
        failure = ec;
        return;
      }
      if (in.size() >= reset_after) {
        std::error_code ignored;
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
        socket.close(ignored);
        return;
      }
      Receive();
    });
  }

  std::vector<char> chunk_ = std::vector<char>(64 * 1024);
  std::size_t sent_ = 0;
  bool held_ = false;
};

struct Joined {
  // Connects a and b to sockets of their own.
  void Connect() {
    tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    a.socket.connect(acceptor.local_endpoint());
    acceptor.accept(a_side);
    b.socket.connect(acceptor.local_endpoint());
    acceptor.accept(b_side);
  }

  // Joins the sockets of a and b with a Pipe.
  void StartPipe(std::string first_to_b, std::string first_to_a) {
    zelmo::Pipe::Hooks hooks;
    hooks.counter = &counter;
    hooks.to_b = to_b;
    hooks.to_a = to_a;
    hooks.on_done = [this] { ++done; };
    pipe = zelmo::Pipe::Start(std::move(a_side), std::move(b_side), std::move(first_to_b),
                              std::move(first_to_a), std::move(hooks));
  }

  void Join(std::string first_to_b, std::string first_to_a) {
    Connect();
    StartPipe(std::move(first_to_b), std::move(first_to_a));
  }

  // Starts both peers and runs until nothing is left to do, for at most a
  // minute; then lets go of the pipe.
  void Run() {
    a.Start();
    b.Start();
    io.run_for(std::chrono::seconds(60));
    pipe.reset();
  }

  asio::io_context io;
  Peer a{io};
  Peer b{io};
  std::atomic<int64_t> counter{0};
  std::shared_ptr<std::atomic<int64_t>> to_b = std::make_shared<std::atomic<int64_t>>(0);
  std::shared_ptr<std::atomic<int64_t>> to_a = std::make_shared<std::atomic<int64_t>>(0);
  int done = 0;
  std::shared_ptr<zelmo::Pipe> pipe;
  tcp::socket a_side{io};
  tcp::socket b_side{io};
};

}  // namespace zelmo_testing

// The data path: a pipe joins two connected sockets so that bytes flow both ways
// until both sides are done. Each direction owns one large buffer and reads
// again only after the whole chunk went out to the other side, so a slow reader
// slows the writer down instead of growing a queue. An orderly end of one side is
// passed on as a half-close; an error on either side ends both. Everything runs
// as handlers on the sockets' executor: no thread per stream, no locks.
#pragma once
#include <asio.hpp>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zelmo {

constexpr std::size_t kPipeBufferSize = 256 * 1024;

class Pipe : public std::enable_shared_from_this<Pipe> {
 public:
  struct Hooks {
    std::atomic<int64_t>* counter = nullptr;  // grows by every byte written, both ways
    // Each grows by the bytes written to its side: to_b by those read from a,
    // to_a by those read from b. The pipe holds them as long as it lives.
    std::shared_ptr<std::atomic<int64_t>> to_b;
    std::shared_ptr<std::atomic<int64_t>> to_a;
    std::function<void()> on_done;  // once, when both sides are closed
  };

  // Starts the pipe. first_to_b / first_to_a are bytes already read from a / b
  // (past a header line) that go out before anything else.
  static std::shared_ptr<Pipe> Start(asio::ip::tcp::socket a, asio::ip::tcp::socket b,
                                     std::string first_to_b, std::string first_to_a, Hooks hooks);

  // Ends both sides at once. Call on the sockets' executor.
  void Close();

  Pipe(asio::ip::tcp::socket a, asio::ip::tcp::socket b, Hooks hooks);

 private:
  void WriteFirst(int from, std::string bytes);
  void Read(int from);
  void Write(int from, std::size_t n);
  void EndDirection(int from, bool orderly);
  void Count(int from, std::size_t n);

  std::array<asio::ip::tcp::socket, 2> sockets_;
  std::array<std::unique_ptr<char[]>, 2> buffers_;
  std::array<std::string, 2> first_;
  Hooks hooks_;
  int directions_done_ = 0;
  bool closed_ = false;
};

}  // namespace zelmo

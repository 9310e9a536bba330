// The data path: a pipe joins two connected sockets so that bytes flow both ways
// until both sides are done. Where the system allows it (Linux) each direction
// moves its bytes through a kernel pipe of its own, from one socket into the
// pipe and from the pipe into the other socket, so they never cross the
// process's memory; elsewhere, or when no kernel pipe can be had, it copies
// through one large buffer. Either way a direction takes in more only after
// what it holds went out to the other side, so a slow reader slows the writer
// down instead of growing a queue. An orderly end of one side is passed on as
// a half-close; an error on either side ends both. Everything runs as handlers
// on the sockets' executor: no thread per stream, no locks, and no direction
// moves more than kPipeBytesPerTurn before it lets other handlers run.
#pragma once
#include <asio.hpp>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {
struct SplicePipe;
}

namespace zelmo {

constexpr std::size_t kPipeBufferSize = 256 * 1024;
constexpr std::size_t kPipeBytesPerTurn = 1024 * 1024;

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
  struct KernelPipeCloser {
    void operator()(platform::SplicePipe* pipe) const;
  };
  struct Direction {
    std::unique_ptr<platform::SplicePipe, KernelPipeCloser> kernel_pipe;
    std::size_t in_kernel = 0;       // bytes in the kernel pipe, not yet sent on
    bool spliced_in = false;         // a move into the kernel pipe has worked
    bool spliced_out = false;        // a move out of it has worked
    std::unique_ptr<char[]> buffer;  // only when copying
    std::string first;
  };

  void WriteFirst(int from, std::string bytes);
  void Begin(int from);
  bool OpenKernelPipe(int from);
  void Pump(int from, bool readable);
  void OnSourceStopped(int from, int error, bool readable);
  void OnSinkStopped(int from, int error);
  void Await(int from, asio::socket_base::wait_type wait);
  void GoOverToCopy(int from);
  char* Buffer(int from);
  void Read(int from);
  void Write(int from, std::size_t n);
  void EndDirection(int from, bool orderly);
  void Count(int from, std::size_t n);

  std::array<asio::ip::tcp::socket, 2> sockets_;
  std::array<Direction, 2> directions_;
  Hooks hooks_;
  int directions_done_ = 0;
  bool closed_ = false;
};

}  // namespace zelmo

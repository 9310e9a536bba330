// bench_stream_read PORT BYTES: asks the media service on 127.0.0.1:PORT
// (directly or through a forwarder) for its endless test pattern, reads BYTES
// of it with large reads, and prints "BYTES SECONDS MB/s" (MB = 10^6 bytes).
// The clock starts at the connect, so stream set-up is part of the figure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_socket.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_stream_read PORT BYTES\n");
    return 2;
  }
  const uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
  const long long total = std::atoll(argv[2]);
  platform::NetStartup();
  std::vector<char> buffer(1 << 20);
  auto started = std::chrono::steady_clock::now();
  platform::Socket s = bench::ConnectLoopback(port);
  if (s == platform::kInvalidSocket) {
    std::fprintf(stderr, "bench_stream_read: cannot connect to %u\n", port);
    return 1;
  }
  static const char kAsk[] = "pattern\n";
  if (bench::SendAll(s, kAsk, sizeof kAsk - 1) != 0) {
    std::fprintf(stderr, "bench_stream_read: cannot ask for the pattern\n");
    return 1;
  }
  long long got = 0;
  while (got < total) {
    int n = platform::SocketRecv(s, buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) {
      std::fprintf(stderr, "bench_stream_read: stream ended after %lld bytes\n", got);
      return 1;
    }
    got += n;
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  platform::SocketClose(s);
  std::printf("%lld %.6f %.1f\n", got, seconds, got / seconds / 1e6);
  return 0;
}

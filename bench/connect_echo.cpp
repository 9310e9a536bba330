// bench_connect_echo PORT COUNT: COUNT times in a row, connects to an echo
// service on 127.0.0.1:PORT, reads its greeting line, sends one byte and reads
// it back, then closes. Prints "P50 P99 CONNECT GREETING ECHO" in microseconds:
// the percentiles of the whole round trips, then the medians of its three
// phases (connect returned, greeting line read, one-byte echo back).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Phases {
  double connect_us;
  double greeting_us;
  double echo_us;
  double total_us() const { return connect_us + greeting_us + echo_us; }
};

double Microseconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

// One connect and echo; false when any step failed.
bool OneRoundTrip(uint16_t port, Phases* phases) {
  auto started = Clock::now();
  platform::Socket s = bench::ConnectLoopback(port);
  if (s == platform::kInvalidSocket)
    return false;
  auto connected = Clock::now();
  bool ok = bench::SkipLine(s) == 0;
  auto greeted = Clock::now();
  char byte = 'x';
  ok = ok && bench::SendAll(s, &byte, 1) == 0 && bench::ReceiveExactly(s, &byte, 1) == 0 &&
       byte == 'x';
  auto echoed = Clock::now();
  platform::SocketClose(s);
  *phases = {Microseconds(started, connected), Microseconds(connected, greeted),
             Microseconds(greeted, echoed)};
  return ok;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * (values.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_connect_echo PORT COUNT\n");
    return 2;
  }
  const uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
  const int count = std::atoi(argv[2]);
  platform::NetStartup();
  std::vector<double> totals, connects, greetings, echoes;
  for (int i = 0; i < count; ++i) {
    Phases phases;
    if (!OneRoundTrip(port, &phases)) {
      std::fprintf(stderr, "bench_connect_echo: round trip %d failed\n", i);
      return 1;
    }
    totals.push_back(phases.total_us());
    connects.push_back(phases.connect_us);
    greetings.push_back(phases.greeting_us);
    echoes.push_back(phases.echo_us);
  }
  std::printf("%.1f %.1f %.1f %.1f %.1f\n", Percentile(totals, 0.50), Percentile(totals, 0.99),
              Percentile(connects, 0.50), Percentile(greetings, 0.50), Percentile(echoes, 0.50));
  return 0;
}

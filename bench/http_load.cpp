// bench_http_load PORT CLIENTS SECONDS REQUEST_FILE EXPECT [PAUSE_MS]: CLIENTS threads,
// each on a connection of its own per request, send the request in
// REQUEST_FILE to 127.0.0.1:PORT again and again for SECONDS. A request counts
// as answered once EXPECT bytes have arrived (EXPECT 0: once the server has
// closed); the client then closes. After a refusal a client waits PAUSE_MS
// (default 0) before its next request. Prints
//   "ANSWERED REFUSED SHORT REQUESTS/S TTFB_P50 TTFB_P99"
// with the times to the first byte in microseconds over the answered requests.
// REFUSED: closed without a byte; SHORT: closed before EXPECT bytes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Totals {
  std::mutex mutex;
  std::vector<double> ttfb_us;
  long refused = 0;
  long short_replies = 0;
};

enum class Outcome { kAnswered, kRefused, kShort };

// One request on a fresh connection; ttfb_us is set when a byte arrived.
Outcome OneRequest(uint16_t port, const std::string& request, size_t expect, double* ttfb_us) {
  auto started = Clock::now();
  platform::Socket s = bench::ConnectLoopback(port);
  if (s == platform::kInvalidSocket)
    return Outcome::kRefused;
  Outcome outcome = Outcome::kRefused;
  if (bench::SendAll(s, request.data(), request.size()) == 0) {
    static thread_local char buffer[65536];
    size_t got = 0;
    for (;;) {
      int n = platform::SocketRecv(s, buffer, sizeof buffer);
      if (n <= 0) {
        outcome = got == 0 ? Outcome::kRefused : expect == 0 ? Outcome::kAnswered : Outcome::kShort;
        break;
      }
      if (got == 0)
        *ttfb_us = std::chrono::duration<double, std::micro>(Clock::now() - started).count();
      got += static_cast<size_t>(n);
      if (expect > 0 && got >= expect) {
        outcome = Outcome::kAnswered;
        break;
      }
    }
  }
  platform::SocketClose(s);
  return outcome;
}

void Client(uint16_t port, const std::string& request, size_t expect, int pause_ms,
            Clock::time_point end, Totals* totals) {
  std::vector<double> ttfb;
  long refused = 0, short_replies = 0;
  while (Clock::now() < end) {
    double us = 0;
    Outcome outcome = OneRequest(port, request, expect, &us);
    if (outcome == Outcome::kAnswered)
      ttfb.push_back(us);
    refused += outcome == Outcome::kRefused;
    short_replies += outcome == Outcome::kShort;
    if (outcome == Outcome::kRefused && pause_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  }
  std::lock_guard<std::mutex> lock(totals->mutex);
  totals->ttfb_us.insert(totals->ttfb_us.end(), ttfb.begin(), ttfb.end());
  totals->refused += refused;
  totals->short_replies += short_replies;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty())
    return 0;
  return sorted[static_cast<size_t>(p * (sorted.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr,
                 "usage: bench_http_load PORT CLIENTS SECONDS REQUEST_FILE EXPECT [PAUSE_MS]\n");
    return 2;
  }
  const uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
  const int clients = std::atoi(argv[2]);
  const double seconds = std::atof(argv[3]);
  std::ifstream file(argv[4], std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  const std::string request = content.str();
  const size_t expect = static_cast<size_t>(std::atol(argv[5]));
  const int pause_ms = argc == 7 ? std::atoi(argv[6]) : 0;
  platform::NetStartup();

  Totals totals;
  auto started = Clock::now();
  auto end =
      started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i)
    threads.emplace_back(Client, port, std::cref(request), expect, pause_ms, end, &totals);
  for (std::thread& t : threads)
    t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  std::sort(totals.ttfb_us.begin(), totals.ttfb_us.end());
  std::printf("%zu %ld %ld %.1f %.1f %.1f\n", totals.ttfb_us.size(), totals.refused,
              totals.short_replies, totals.ttfb_us.size() / elapsed,
              Percentile(totals.ttfb_us, 0.50), Percentile(totals.ttfb_us, 0.99));
  return 0;
}

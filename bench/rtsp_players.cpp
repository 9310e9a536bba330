// bench_rtsp_players PORT PLAYERS SECONDS FPS: PLAYERS threads play the RTSP
// stream at rtsp://127.0.0.1:PORT/ at once, each as a player does (DESCRIBE,
// SETUP with RTP over the RTSP connection, PLAY) and each for SECONDS from its
// PLAY, then prints
//   "PLAYERS RECEIVED SENT LOST_PACKETS GAP_P50_MS GAP_P99_MS GAP_MAX_MS"
// RECEIVED: frames that arrived whole (their packets without a gap in the RTP
// sequence, up to the one with the marker bit), over all players, from the
// first frame whose start a player saw. SENT: the frames the stream held from
// there to each player's last frame, from the RTP time stamps (90 kHz) at FPS
// frames a second. GAP: the times between two
// whole frames in a row of one player, over all players. A player that cannot
// set up, or gets nothing for 5 seconds, fails the run (status 1).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 5000;
constexpr size_t kInboxLimit = 1 << 20;

struct Result {
  std::string failure;
  long frames = 0;
  long sent = 0;
  long lost_packets = 0;
  std::vector<double> gaps_ms;
};

class Connection {
 public:
  explicit Connection(platform::Socket s) : s_(s) {}
  ~Connection() { platform::SocketClose(s_); }

  // At least size bytes in the inbox; false when the peer ended or went quiet.
  bool Fill(size_t size) {
    char buffer[65536];
    while (inbox_.size() < size) {
      if (inbox_.size() > kInboxLimit || platform::WaitReadable(s_, kWaitMs) != 1)
        return false;
      int n = platform::SocketRecv(s_, buffer, sizeof buffer);
      if (n <= 0)
        return false;
      inbox_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  // One request and its answer (head and body); false on any failure.
  bool Ask(const std::string& request, std::string& head, std::string& body) {
    if (bench::SendAll(s_, request.data(), request.size()) != 0)
      return false;
    size_t end;
    while ((end = inbox_.find("\r\n\r\n")) == std::string::npos || inbox_[0] == '$') {
      // Packets of a running stream may come before the answer to PLAY.
      if (!inbox_.empty() && inbox_[0] == '$') {
        if (!Fill(4) || !Fill(4 + ((unsigned char)inbox_[2] << 8 | (unsigned char)inbox_[3])))
          return false;
        inbox_.erase(0, 4 + ((unsigned char)inbox_[2] << 8 | (unsigned char)inbox_[3]));
        continue;
      }
      if (!Fill(inbox_.size() + 1))
        return false;
    }
    head = inbox_.substr(0, end);
    inbox_.erase(0, end + 4);
    size_t length = 0;
    size_t at = head.find("Content-Length: ");
    if (at != std::string::npos)
      length = std::strtoul(head.c_str() + at + 16, nullptr, 10);
    if (!Fill(length))
      return false;
    body = inbox_.substr(0, length);
    inbox_.erase(0, length);
    return head.rfind("RTSP/1.0 200 ", 0) == 0;
  }

  std::string& inbox() { return inbox_; }

 private:
  platform::Socket s_;
  std::string inbox_;
};

std::string HeaderValue(const std::string& head, const std::string& name) {
  size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos)
    return std::string();
  at += name.size() + 4;
  return head.substr(at, head.find_first_of(";\r", at) - at);
}

bool SetUp(Connection& c, uint16_t port, std::string& why) {
  std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/";
  std::string head, body;
  if (!c.Ask("DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n", head,
             body)) {
    why = "DESCRIBE failed: " + head.substr(0, head.find('\r'));
    return false;
  }
  size_t media = body.find("m=video");
  size_t control = body.find("a=control:", media == std::string::npos ? 0 : media);
  if (media == std::string::npos || control == std::string::npos) {
    why = "no video in the SDP";
    return false;
  }
  std::string track = body.substr(control + 10, body.find_first_of("\r\n", control) - control - 10);
  if (track.rfind("rtsp:", 0) != 0)
    track = url + track;
  if (!c.Ask("SETUP " + track +
                 " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n",
             head, body)) {
    why = "SETUP failed: " + head.substr(0, head.find('\r'));
    return false;
  }
  std::string session = HeaderValue(head, "Session");
  if (!c.Ask("PLAY " + url + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\n\r\n", head,
             body)) {
    why = "PLAY failed: " + head.substr(0, head.find('\r'));
    return false;
  }
  return true;
}

// Reads interleaved packets for seconds and counts the whole frames, from the
// first frame whose start it saw.
void Watch(Connection& c, int seconds, int fps, Result& result) {
  auto end = Clock::now() + std::chrono::seconds(seconds);
  bool synced = false, counting = false, broken = false, have_frame = false;
  uint16_t expected = 0;
  uint32_t first_ts = 0, last_ts = 0;
  Clock::time_point last_frame;
  std::string& inbox = c.inbox();
  while (Clock::now() < end) {
    if (!c.Fill(4) || inbox[0] != '$' ||
        !c.Fill(4 + ((unsigned char)inbox[2] << 8 | (unsigned char)inbox[3]))) {
      result.failure = "the stream stalled or broke";
      return;
    }
    size_t size = (unsigned char)inbox[2] << 8 | (unsigned char)inbox[3];
    const unsigned char* rtp = reinterpret_cast<const unsigned char*>(inbox.data() + 4);
    if (inbox[1] == 0 && size >= 12) {
      uint16_t seq = static_cast<uint16_t>(rtp[2] << 8 | rtp[3]);
      uint32_t ts = static_cast<uint32_t>(rtp[4]) << 24 | rtp[5] << 16 | rtp[6] << 8 | rtp[7];
      bool marker = (rtp[1] & 0x80) != 0;
      if (counting && seq != expected) {
        result.lost_packets += static_cast<uint16_t>(seq - expected);
        broken = true;
      }
      expected = static_cast<uint16_t>(seq + 1);
      if (synced && !counting) {
        counting = true;
        first_ts = ts;
      }
      if (counting && marker) {
        auto now = Clock::now();
        last_ts = ts;
        if (!broken) {
          ++result.frames;
          if (have_frame)
            result.gaps_ms.push_back(
                std::chrono::duration<double, std::milli>(now - last_frame).count());
          have_frame = true;
          last_frame = now;
        }
        broken = false;
      }
      synced = synced || marker;
    }
    inbox.erase(0, 4 + size);
  }
  if (have_frame || result.lost_packets > 0) {
    result.sent = std::lround(static_cast<uint32_t>(last_ts - first_ts) * static_cast<double>(fps) /
                              90000.0) +
                  1;
  }
}

void Play(uint16_t port, int seconds, int fps, Result& result) {
  platform::Socket s = bench::ConnectLoopback(port);
  if (s == platform::kInvalidSocket) {
    result.failure = "cannot connect";
    return;
  }
  Connection c(s);
  if (SetUp(c, port, result.failure))
    Watch(c, seconds, fps, result);
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(std::ceil(p * values.size())) - 1;
  return values[std::min(at, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_rtsp_players PORT PLAYERS SECONDS FPS\n");
    return 2;
  }
  const uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
  const int players = std::max(1, std::min(256, std::atoi(argv[2])));
  const int seconds = std::max(1, std::min(600, std::atoi(argv[3])));
  const int fps = std::max(1, std::atoi(argv[4]));
  platform::NetStartup();
  std::vector<Result> results(static_cast<size_t>(players));
  std::vector<std::thread> threads;
  for (auto& result : results)
    threads.emplace_back([&result, port, seconds, fps] { Play(port, seconds, fps, result); });
  for (auto& thread : threads)
    thread.join();
  long received = 0, sent = 0, lost = 0;
  std::vector<double> gaps;
  int failed = 0;
  for (const Result& r : results) {
    if (!r.failure.empty()) {
      std::fprintf(stderr, "bench_rtsp_players: a player failed: %s\n", r.failure.c_str());
      ++failed;
    }
    received += r.frames;
    sent += r.sent;
    lost += r.lost_packets;
    gaps.insert(gaps.end(), r.gaps_ms.begin(), r.gaps_ms.end());
  }
  std::printf("%d %ld %ld %ld %.1f %.1f %.1f\n", players - failed, received, sent, lost,
              Percentile(gaps, 0.50), Percentile(gaps, 0.99), Percentile(gaps, 1.0));
  return failed == 0 ? 0 : 1;
}

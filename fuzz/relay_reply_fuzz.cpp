// The library's side of a tunnel's control connection: whatever a relay answers
// to "TUNNEL <token> <serial>" and sends while the tunnel is open. A fake relay
// on the same I/O context takes the hello, sends the input (after its first
// byte, which says whether the device is in the device list) and ends its side.
// Everything runs on this thread, so a run is deterministic.
//
// Checked against a plain model of the lines: the tunnel comes up exactly when
// the first line is "OK <id> <key>" and the device is listed; the network events
// reported are the well-formed "NETINFO <int> <int>" lines that follow, in order
// (all of them when the input is shorter than a line may be, else a prefix);
// the closed event comes once, and only after the tunnel came up.
#include <asio.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "zelmo/tunnel.h"
#include "zelmo/tunnel_connector.h"
#include "zelmo/wire.h"

namespace {

using asio::ip::tcp;
using Event = std::pair<int, int>;

struct Outcome {
  int up = 0;
  int closed = 0;
  std::string tunnel_id;
  std::vector<Event> events;
};

int OnNetInfo(void* user, int code, int count) {
  static_cast<Outcome*>(user)->events.emplace_back(code, count);
  return 0;
}

// A decimal 32-bit number as the relay writes it: a sign at most, then digits.
bool ModelInt(const std::string& word, int& value) {
  size_t digits = word[0] == '+' || word[0] == '-' ? 1 : 0;
  if (digits == word.size() || word.size() > 40)
    return false;
  for (size_t i = digits; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9')
      return false;
  }
  long long parsed = std::strtoll(word.c_str(), nullptr, 10);
  if (parsed < -2147483647LL || parsed > 2147483647LL)
    return false;
  value = static_cast<int>(parsed);
  return true;
}

// The events the lines after the first one carry.
std::vector<Event> ModelEvents(const std::string& answer) {
  std::vector<Event> events;
  std::string buffer = answer;
  std::string line;
  zelmo::TakeLine(buffer, line);
  while (zelmo::TakeLine(buffer, line)) {
    std::vector<std::string> words = zelmo::SplitWords(line);
    Event event;
    if (words.size() == 3 && words[0] == zelmo::kEventNetInfo && ModelInt(words[1], event.first) &&
        ModelInt(words[2], event.second))
      events.push_back(event);
  }
  return events;
}

bool ModelUp(const std::string& answer, bool listed) {
  std::string buffer = answer;
  std::string line;
  if (!zelmo::TakeLine(buffer, line) || line.size() >= zelmo::kMaxLineLength)
    return false;
  std::vector<std::string> words = zelmo::SplitWords(line);
  return listed && words.size() == 3 && words[0] == zelmo::kReplyOk;
}

// The fake relay: reads the hello, answers, ends its side, and notes when the
// library has closed the connection too.
class FakeRelay {
 public:
  FakeRelay(asio::io_context& io, std::string answer)
      : acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        socket_(io),
        answer_(std::move(answer)) {}

  tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }
  bool done() const { return done_; }

  void Start() {
    acceptor_.async_accept(socket_, [this](std::error_code ec) {
      FUZZ_CHECK(!ec);
      asio::async_read_until(socket_, asio::dynamic_buffer(hello_), '\n',
                             [this](std::error_code ec2, std::size_t) {
                               FUZZ_CHECK(!ec2);
                               FUZZ_CHECK(hello_.compare(0, 7, "TUNNEL ") == 0);
                               Answer();
                             });
    });
  }

 private:
  void Answer() {
    asio::async_write(socket_, asio::buffer(answer_), [this](std::error_code, std::size_t) {
      std::error_code ignored;
      socket_.shutdown(tcp::socket::shutdown_send, ignored);
      Drain();
    });
  }

  void Drain() {
    socket_.async_read_some(asio::buffer(sink_), [this](std::error_code ec, std::size_t) {
      if (ec) {
        done_ = true;
        return;
      }
      Drain();
    });
  }

  tcp::acceptor acceptor_;
  tcp::socket socket_;
  std::string answer_;
  std::string hello_;
  char sink_[512];
  bool done_ = false;
};

Outcome Run(const std::string& answer, bool listed) {
  asio::io_context io;
  FakeRelay relay(io, answer);
  relay.Start();
  Outcome outcome;
  zelmo::TunnelConnector::Events events;
  events.check_listed = [listed](const std::string&, std::function<void(bool)> done) {
    done(listed);
  };
  events.up = [&outcome](zelmo::Tunnel& tunnel) {
    ++outcome.up;
    outcome.tunnel_id = tunnel.id();
    tunnel.SetNetInfoCallback(&outcome, OnNetInfo);
  };
  events.closed = [&outcome] { ++outcome.closed; };
  {
    zelmo::TunnelConnector connector(io, relay.endpoint(), "token", zelmo::TurnServer{}, events);
    connector.Open("SN-FUZZ");
    // The library closes its side when the tunnel ends and when it gives up
    // on an attempt; either way the fake relay sees the end.
    while (!relay.done())
      FUZZ_CHECK(io.run_one() > 0);
    io.poll();
  }
  io.poll();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  const bool listed = (data[0] & 1) != 0;
  const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);
  Outcome outcome = Run(answer, listed);
  const bool up = ModelUp(answer, listed);
  FUZZ_CHECK(outcome.up == (up ? 1 : 0));
  FUZZ_CHECK(outcome.closed == outcome.up);
  if (!up) {
    FUZZ_CHECK(outcome.events.empty());
    return 0;
  }
  std::vector<Event> expected = ModelEvents(answer);
  FUZZ_CHECK(outcome.events.size() <= expected.size());
  for (size_t i = 0; i < outcome.events.size(); ++i)
    FUZZ_CHECK(outcome.events[i] == expected[i]);
  if (answer.size() < zelmo::kMaxLineLength)
    FUZZ_CHECK(outcome.events.size() == expected.size());
  return 0;
}

// Tunnel opening and watching (see tunnel_connector.h).
#include "zelmo/tunnel_connector.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "platform/text.h"
#include "zelmo/log.h"
#include "zelmo/direct_transport.h"
#include "zelmo/relay_transport.h"
#include "zelmo/wire.h"

namespace zelmo {
namespace {

constexpr auto kLongestRetryPause = std::chrono::seconds(60);
constexpr auto kAttemptLimit = std::chrono::seconds(5);
std::atomic<int64_t> keepalive_ms{std::chrono::milliseconds(kKeepAliveInterval).count()};

// A decimal int; false for anything else.
bool ParseInt(const std::string& text, int& value) {
  long long parsed = 0;
  if (!platform::ParseWholeDecimal(text.c_str(), -2147483647, 2147483647, &parsed))
    return false;
  value = static_cast<int>(parsed);
  return true;
}

}  // namespace

std::chrono::seconds RetryPause(int failed_attempts) {
  if (failed_attempts >= 6)
    return kLongestRetryPause;
  return std::chrono::seconds(1 << std::max(failed_attempts, 0));
}

void SetKeepAliveInterval(std::chrono::milliseconds interval) {
  keepalive_ms.store(interval.count());
}

TunnelConnector::TunnelConnector(asio::io_context& io, asio::ip::tcp::endpoint relay,
                                 std::string token, TurnServer turn, Events events)
    : io_(io),
      relay_(relay),
      token_(std::move(token)),
      turn_(std::move(turn)),
      events_(std::move(events)),
      control_(io),
      timer_(io),
      keepalive_(io),
      ping_(MakeLine({kCommandPing})) {}

TunnelConnector::~TunnelConnector() {
  std::error_code ignored;
  control_.close(ignored);
}

void TunnelConnector::Open(const std::string& serial) {
  if (phase_ == Phase::kOpening || phase_ == Phase::kUp) {
    Log(kLogDetail, "Zelmo: tunnel to %s already opening or open", serial_.c_str());
    return;
  }
  serial_ = serial;
  phase_ = Phase::kOpening;
  failed_attempts_ = 0;
  refusal_logged_ = false;
  Log(kLogProgress, "Zelmo: opening a tunnel to %s", serial_.c_str());
  Attempt();
}

// One attempt: connect, say hello, read the answer, all within kAttemptLimit.
void TunnelConnector::Attempt() {
  std::error_code ignored;
  control_.close(ignored);
  inbox_.clear();
  timer_.expires_after(kAttemptLimit);
  timer_.async_wait([this](std::error_code ec) {
    std::error_code ignored2;
    if (!ec)
      control_.close(ignored2);
  });
  control_.async_connect(relay_, [this](std::error_code ec) {
    if (ec) {
      Log(kLogTrace, "Zelmo: relay not reached: %s", ec.message().c_str());
      return RetryLater();
    }
    SendHello();
  });
}

void TunnelConnector::SendHello() {
  outbox_ = MakeLine({kHelloTunnel, token_, serial_});
  asio::async_write(control_, asio::buffer(outbox_), [this](std::error_code ec, std::size_t) {
    if (ec)
      return RetryLater();
    ReadReply();
  });
}

void TunnelConnector::ReadReply() {
  asio::async_read_until(control_, asio::dynamic_buffer(inbox_, kMaxLineLength), '\n',
                         [this](std::error_code ec, std::size_t) {
                           std::string line;
                           if (ec || !control_.is_open() || !TakeLine(inbox_, line)) {
                             return RetryLater();
                           }
                           OnReply(line);
                         });
}

void TunnelConnector::OnReply(const std::string& line) {
  std::vector<std::string> words = SplitWords(line);
  if (words.size() == 3 && words[0] == kReplyOk)
    return CheckListed(words[1], words[2]);
  if (words.size() == 2 && words[0] == kReplyDenied)
    return GiveUp(words[1]);
  if (words.size() == 1 && words[0] == kReplyOffline) {
    Log(kLogTrace, "Zelmo: %s is offline; trying again", serial_.c_str());
  } else if (words.size() == 2 && words[0] == kReplyBusy) {
    Log(kLogTrace, "Zelmo: the relay is busy (%s); trying again", words[1].c_str());
  } else if (!refusal_logged_) {
    refusal_logged_ = true;
    Log(kLogFailure, "Zelmo: the cloud did not open a tunnel to %s: %s", LogSafe(serial_).c_str(),
        LogSafe(line).c_str());
  }
  RetryLater();
}

void TunnelConnector::RetryLater() {
  std::error_code ignored;
  control_.close(ignored);
  timer_.expires_after(RetryPause(failed_attempts_));
  failed_attempts_ = std::min(failed_attempts_ + 1, 6);
  timer_.async_wait([this](std::error_code ec) {
    if (!ec)
      Attempt();
  });
}

// Asking again would be refused again: the session stays without a tunnel.
void TunnelConnector::GiveUp(const std::string& why) {
  std::error_code ignored;
  timer_.cancel();
  control_.close(ignored);
  phase_ = Phase::kClosed;
  Log(kLogFailure, "Zelmo: the cloud refused a tunnel to %s for good: %s", serial_.c_str(),
      why.c_str());
}

// The device list is refreshed first, so the host finds the tunnel id there
// when it hears of the tunnel. The cloud's answer is bounded by its own
// deadline, so the attempt's limit stops here.
void TunnelConnector::CheckListed(const std::string& tunnel_id, const std::string& stream_key) {
  timer_.cancel();
  events_.check_listed(serial_, [this, tunnel_id, stream_key](bool listed) {
    if (!listed) {
      Log(kLogFailure, "Zelmo: %s is not in the device list; trying again", serial_.c_str());
      return RetryLater();
    }
    BringUp(tunnel_id, stream_key);
  });
}

// The context is stored by the up event before the host hears of the tunnel.
void TunnelConnector::BringUp(const std::string& tunnel_id, const std::string& stream_key) {
  auto tunnel = std::make_unique<Tunnel>(io_, serial_, tunnel_id, events_.gate);
  auto relayed = std::make_unique<RelayTransport>(io_, relay_, stream_key, tunnel->counter());
  DirectTransport::Events direct_events;
  direct_events.send = [this](const std::vector<std::string>& words) {
    std::vector<std::string> line{kLineDirect};
    line.insert(line.end(), words.begin(), words.end());
    SendLine(MakeLine(line), false);
  };
  Tunnel* noted = tunnel.get();
  direct_events.path = [noted](const TunnelPath& path) { noted->NotePath(path); };
  auto transport = std::make_unique<DirectTransport>(io_, std::move(relayed), turn_,
                                                     tunnel->counter(), std::move(direct_events));
  direct_ = transport.get();
  const TunnelPath path = transport->path();
  tunnel->SetTransport(std::move(transport));
  tunnels_.push_back(std::move(tunnel));
  phase_ = Phase::kUp;
  Log(kLogProgress, "Zelmo: tunnel to %s is up (tunnel id %s)", serial_.c_str(), tunnel_id.c_str());
  tunnels_.back()->NotePath(path);
  events_.up(*tunnels_.back());
  last_heard_ = std::chrono::steady_clock::now();
  keepalive_interval_ = std::chrono::milliseconds(keepalive_ms.load());
  KeepAlive();
  Watch();
  direct_->Start();
}

void TunnelConnector::Watch() {
  std::string line;
  while (TakeLine(inbox_, line))
    OnEvent(line);
  asio::async_read_until(control_, asio::dynamic_buffer(inbox_, kMaxLineLength), '\n',
                         [this](std::error_code ec, std::size_t) {
                           if (ec == asio::error::operation_aborted)
                             return;
                           if (ec)
                             return End();
                           last_heard_ = std::chrono::steady_clock::now();
                           Watch();
                         });
}

// One tick: the path is dead after two silent intervals, else one more ping
// goes out (none while the last one still waits to be sent).
void TunnelConnector::KeepAlive() {
  keepalive_.expires_after(keepalive_interval_);
  keepalive_.async_wait([this](std::error_code ec) {
    if (ec || phase_ != Phase::kUp)
      return;
    auto silent = std::chrono::steady_clock::now() - last_heard_;
    if (silent >= 2 * keepalive_interval_) {
      Log(kLogFailure, "Zelmo: no word from the relay for %lld ms; the tunnel to %s is lost",
          static_cast<long long>(
              std::chrono::duration_cast<std::chrono::milliseconds>(silent).count()),
          serial_.c_str());
      return End();
    }
    if (!ping_pending_) {
      ping_pending_ = true;
      SendLine(ping_, true);
    }
    KeepAlive();
  });
}

void TunnelConnector::OnEvent(const std::string& line) {
  std::vector<std::string> words = SplitWords(line);
  int code = 0;
  int count = 0;
  if (words.size() == 3 && words[0] == kEventNetInfo && ParseInt(words[1], code) &&
      ParseInt(words[2], count)) {
    tunnels_.back()->ReportNetInfo(code, count);
    return;
  }
  if (words.size() == 1 && words[0] == kReplyPong)
    return;
  if (words.size() >= 2 && words[0] == kLineDirect && direct_) {
    direct_->OnLine(std::vector<std::string>(words.begin() + 1, words.end()));
    return;
  }
  Log(kLogDetail, "Zelmo: unknown line from the relay ignored");
}

// Lines go out one at a time, in order. Set-up lines beyond a bound are
// dropped: a path that cannot take them has worse troubles, and the direct
// path's attempt then fails and is made again.
void TunnelConnector::SendLine(std::string line, bool ping) {
  if (lines_.size() >= kMaxQueuedLines && !ping)
    return;
  lines_.push_back(Queued{std::move(line), ping});
  if (lines_.size() == 1)
    WriteNext();
}

void TunnelConnector::WriteNext() {
  if (lines_.empty())
    return;
  asio::async_write(control_, asio::buffer(lines_.front().text),
                    [this](std::error_code ec, std::size_t) {
                      if (ec == asio::error::operation_aborted) {
                        lines_.clear();  // the connection is gone, and its lines with it
                        return;
                      }
                      if (lines_.empty())
                        return;
                      if (lines_.front().ping)
                        ping_pending_ = false;
                      lines_.pop_front();
                      if (!ec)
                        WriteNext();
                    });
}

// Once per tunnel: the control connection's end, or a dead path.
void TunnelConnector::End() {
  if (phase_ != Phase::kUp)
    return;
  std::error_code ignored;
  keepalive_.cancel();
  ping_pending_ = false;
  direct_ = nullptr;
  control_.close(ignored);
  tunnels_.back()->Close();
  phase_ = Phase::kClosed;
  Log(kLogProgress, "Zelmo: tunnel to %s closed", serial_.c_str());
  events_.closed();
}

}  // namespace zelmo

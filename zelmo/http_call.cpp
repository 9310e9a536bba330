// Bounded HTTP exchange (see http_call.h). The exchange runs on an io_context
// of its own on the caller's thread; the deadline and a canceller both end it by
// stopping that io_context, so no read can outlive them.
#include "zelmo/http_call.h"

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <cstdlib>

#include "zelmo/host_lookup.h"

namespace zelmo {

using asio::ip::tcp;

// Enters a call's io_context into its canceller for as long as the call runs.
class CallRegistration {
 public:
  CallRegistration(CallCanceller* canceller, asio::io_context& io)
      : canceller_(canceller), io_(io) {
    if (canceller_ == nullptr)
      return;
    std::lock_guard<std::mutex> lock(canceller_->mutex_);
    if (!canceller_->cancelled_)
      canceller_->running_.push_back(&io_);
  }
  ~CallRegistration() {
    if (canceller_ == nullptr)
      return;
    std::lock_guard<std::mutex> lock(canceller_->mutex_);
    auto& running = canceller_->running_;
    running.erase(std::remove(running.begin(), running.end(), &io_), running.end());
  }
  bool cancelled() const {
    if (canceller_ == nullptr)
      return false;
    std::lock_guard<std::mutex> lock(canceller_->mutex_);
    return canceller_->cancelled_;
  }

 private:
  CallCanceller* canceller_;
  asio::io_context& io_;
};

void CallCanceller::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  for (asio::io_context* io : running_)
    io->stop();
}

namespace {

constexpr std::size_t kMaxChunkLine = 1024;

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos)
    return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "HTTP/1.x NNN reason"; false for anything else.
bool ParseStatusLine(const std::string& line, int& status) {
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || line[8] != ' ' ||
      (line.size() > 12 && line[12] != ' '))
    return false;
  for (int i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9')
      return false;
  }
  status = std::atoi(line.substr(9, 3).c_str());
  return true;
}

struct Framing {
  bool chunked = false;
  bool has_length = false;
  std::size_t length = 0;
};

// The header lines between the status line and the blank line.
bool ReadFraming(const std::string& lines, Framing& framing) {
  std::size_t at = 0;
  while (at < lines.size()) {
    std::size_t end = lines.find("\r\n", at);
    if (end == std::string::npos)
      end = lines.size();
    std::string line = lines.substr(at, end - at);
    at = end + 2;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos)
      return false;
    std::string name = Lower(Trim(line.substr(0, colon)));
    std::string value = Lower(Trim(line.substr(colon + 1)));
    if (name == "content-length") {
      if (value.empty() || value.size() > 12 ||
          value.find_first_not_of("0123456789") != std::string::npos)
        return false;
      std::size_t length = std::strtoull(value.c_str(), nullptr, 10);
      if (framing.has_length && framing.length != length)
        return false;
      framing.has_length = true;
      framing.length = length;
    } else if (name == "transfer-encoding") {
      framing.chunked = value.size() >= 7 && value.compare(value.size() - 7, 7, "chunked") == 0;
    }
  }
  return true;
}

AnswerState DecodeChunked(const std::string& data, std::string& body) {
  body.clear();
  std::size_t at = 0;
  for (;;) {
    std::size_t line_end = data.find("\r\n", at);
    if (line_end == std::string::npos)
      return data.size() - at > kMaxChunkLine ? AnswerState::kMalformed : AnswerState::kIncomplete;
    std::string size_text = Trim(data.substr(at, std::min(line_end, data.find(';', at)) - at));
    if (size_text.empty() || size_text.size() > 8 ||
        size_text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return AnswerState::kMalformed;
    std::size_t size = std::strtoul(size_text.c_str(), nullptr, 16);
    at = line_end + 2;
    if (size == 0) {
      if (data.compare(at, 2, "\r\n") == 0 || data.find("\r\n\r\n", at) != std::string::npos)
        return AnswerState::kComplete;
      return AnswerState::kIncomplete;
    }
    if (data.size() < at + size + 2)
      return AnswerState::kIncomplete;
    if (data.compare(at + size, 2, "\r\n") != 0)
      return AnswerState::kMalformed;
    body.append(data, at, size);
    at += size + 2;
  }
}

AnswerState ReadBody(const std::string& rest, const Framing& framing, bool at_end,
                     std::string& body) {
  AnswerState state;
  if (framing.chunked) {
    state = DecodeChunked(rest, body);
  } else if (framing.has_length) {
    state = rest.size() >= framing.length ? AnswerState::kComplete : AnswerState::kIncomplete;
    if (state == AnswerState::kComplete)
      body = rest.substr(0, framing.length);
  } else {
    state = at_end ? AnswerState::kComplete : AnswerState::kIncomplete;
    body = rest;
  }
  return state == AnswerState::kIncomplete && at_end ? AnswerState::kMalformed : state;
}

std::string RequestText(const ServerAddress& server, const HttpRequest& request) {
  std::string text = request.method + " " + request.path + " HTTP/1.1\r\nHost: " + server.host;
  if (server.port != 80)
    text += ":" + std::to_string(server.port);
  text += "\r\nConnection: close\r\nAccept: application/json\r\n";
  if (!request.authorization.empty())
    text += "Authorization: " + request.authorization + "\r\n";
  if (request.method == "POST") {
    text += "Content-Type: application/json\r\nContent-Length: " +
            std::to_string(request.json_body.size()) + "\r\n";
  }
  return text + "\r\n" + (request.method == "POST" ? request.json_body : std::string());
}

// One exchange on its io_context: connect, send, read until the answer is
// whole. Every step ends in Finish, or the io_context is stopped under it.
class Exchange {
 public:
  Exchange(asio::io_context& io, std::string request)
      : io_(io), socket_(io), deadline_(io), request_(std::move(request)) {}

  void Start(const Endpoints& endpoints, std::chrono::steady_clock::time_point deadline) {
    endpoints_ = endpoints;
    deadline_.expires_at(deadline);
    deadline_.async_wait([this](std::error_code ec) {
      if (!ec)
        io_.stop();
    });
    asio::async_connect(socket_, endpoints_, [this](std::error_code ec, const tcp::endpoint&) {
      if (ec)
        return Finish("no answer (" + ec.message() + ")");
      asio::async_write(socket_, asio::buffer(request_), [this](std::error_code ec2, std::size_t) {
        if (ec2)
          return Finish("no answer (" + ec2.message() + ")");
        Read();
      });
    });
  }

  bool done() const { return done_; }
  const std::string& why() const { return why_; }
  HttpAnswer& answer() { return answer_; }

 private:
  void Read() {
    socket_.async_read_some(asio::buffer(chunk_), [this](std::error_code ec, std::size_t n) {
      received_.append(chunk_.data(), n);
      const bool at_end = ec == asio::error::eof;
      if (ec && !at_end)
        return Finish("no answer (" + ec.message() + ")");
      if (received_.size() > kMaxAnswerSize)
        return Finish("answer larger than " + std::to_string(kMaxAnswerSize) + " bytes");
      AnswerState state = ParseHttpAnswer(received_, at_end, answer_);
      if (state == AnswerState::kComplete)
        return Finish("");
      if (state == AnswerState::kMalformed)
        return Finish("unexpected answer, not HTTP");
      Read();
    });
  }

  void Finish(const std::string& why) {
    done_ = true;
    why_ = why;
    std::error_code ignored;
    deadline_.cancel();
    socket_.close(ignored);
  }

  asio::io_context& io_;
  tcp::socket socket_;
  asio::steady_timer deadline_;
  Endpoints endpoints_;
  std::string request_;
  std::array<char, 16384> chunk_;
  std::string received_;
  HttpAnswer answer_;
  bool done_ = false;
  std::string why_;
};

}  // namespace

AnswerState ParseHttpAnswer(const std::string& bytes, bool at_end, HttpAnswer& answer) {
  std::size_t head_end = bytes.find("\r\n\r\n");
  if (head_end == std::string::npos)
    return at_end ? AnswerState::kMalformed : AnswerState::kIncomplete;
  std::size_t status_end = bytes.find("\r\n");
  Framing framing;
  if (!ParseStatusLine(bytes.substr(0, status_end), answer.status))
    return AnswerState::kMalformed;
  if (status_end < head_end &&
      !ReadFraming(bytes.substr(status_end + 2, head_end - status_end - 2), framing))
    return AnswerState::kMalformed;
  if (answer.status == 204 || answer.status == 304) {
    answer.body.clear();
    return AnswerState::kComplete;
  }
  return ReadBody(bytes.substr(head_end + 4), framing, at_end, answer.body);
}

int HttpCall(const ServerAddress& server, const HttpRequest& request, HttpAnswer& answer,
             std::string& why, CallCanceller* canceller) {
  asio::io_context io;
  CallRegistration registration(canceller, io);
  if (registration.cancelled()) {
    why = "cancelled";
    return -1;
  }
  // The lookup of the host's name counts against the call's deadline too.
  const auto deadline = std::chrono::steady_clock::now() + kCallDeadline;
  Endpoints endpoints;
  std::string lookup_why;
  if (LookUpHost(server.host, server.port, false, kCallDeadline, endpoints, lookup_why) != 0) {
    why = "no answer (" + lookup_why + ")";
    return -1;
  }
  Exchange exchange(io, RequestText(server, request));
  exchange.Start(endpoints, deadline);
  io.run();
  if (!exchange.done()) {
    why = registration.cancelled()
              ? "cancelled"
              : "no answer within " + std::to_string(kCallDeadline.count()) + " seconds";
    return -1;
  }
  if (!exchange.why().empty()) {
    why = exchange.why();
    return -1;
  }
  answer = std::move(exchange.answer());
  return 0;
}

}  // namespace zelmo

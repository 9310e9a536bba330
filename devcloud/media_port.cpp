// Media port (see media_port.h). Each session owns its socket and keeps itself
// alive through its pending handlers; it ends when its peer does.
#include "devcloud/media_port.h"

#include <chrono>
#include <memory>
#include <vector>

namespace devcloud {
namespace {

using asio::ip::tcp;

constexpr std::size_t kChunk = 256 * 1024;
const char* const kBoundary = "frame";

// A short plain-text answer that ends the connection; extra: header lines.
std::string PlainAnswer(const std::string& status, const std::string& extra,
                        const std::string& text) {
  return "HTTP/1.1 " + status + "\r\n" + extra +
         "Content-Type: text/plain\r\nContent-Length: " + std::to_string(text.size() + 1) +
         "\r\nConnection: close\r\n\r\n" + text + "\n";
}

// One chunk of the pattern, shared by all pattern sessions; its length is a
// multiple of 256, so chunk after chunk continues the pattern.
const std::vector<char>& PatternChunk() {
  static const std::vector<char> chunk = [] {
    std::vector<char> bytes(kChunk);
    for (std::size_t i = 0; i < kChunk; ++i)
      bytes[i] = static_cast<char>(i & 0xff);
    return bytes;
  }();
  return chunk;
}

// The chunk written again and again; each write waits for the previous one, so
// the reader sets the pace.
class PatternSession : public std::enable_shared_from_this<PatternSession> {
 public:
  explicit PatternSession(tcp::socket socket) : socket_(std::move(socket)) {}
  void Start() {
    WatchPeer();
    Write();
  }

 private:
  void Write() {
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(PatternChunk()),
                      [self](std::error_code ec, std::size_t) {
                        if (!ec)
                          self->Write();
                      });
  }
  // Whatever the reader sends is dropped; its end ends the stream.
  void WatchPeer() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(sink_), [self](std::error_code ec, std::size_t) {
      if (!ec)
        return self->WatchPeer();
      std::error_code ignored;
      self->socket_.close(ignored);
    });
  }

  tcp::socket socket_;
  char sink_[4096];
};

// A live view: the multipart head, then frame after frame. At most one write
// is under way; a frame that comes meanwhile waits in pending_, replacing an
// older one.
class LiveViewSession : public std::enable_shared_from_this<LiveViewSession> {
 public:
  LiveViewSession(tcp::socket socket, LiveFeed feed)
      : socket_(std::move(socket)), feed_(std::move(feed)), stall_(socket_.get_executor()) {}
  ~LiveViewSession() {
    if (id_ != 0)
      feed_.Leave(id_);
  }

  // refusal: the whole answer when the request is refused, else empty.
  void Start(const std::string& refusal) {
    if (!refusal.empty())
      return Refuse(refusal);
    std::weak_ptr<LiveViewSession> weak = shared_from_this();
    auto executor = socket_.get_executor();
    id_ = feed_.Join([weak, executor](LiveFrame frame) {
      asio::post(executor, [weak, frame] {
        if (auto self = weak.lock())
          self->Offer(frame);
      });
    });
    if (id_ == 0)
      return Refuse(PlainAnswer("503 Service Unavailable", "", "Too many viewers."));
    head_ = std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=") +
            kBoundary + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    WatchPeer();
    Send(asio::buffer(head_));
  }

 private:
  void Refuse(const std::string& answer) {
    head_ = answer;
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(head_),
                      [self](std::error_code, std::size_t) { self->Close(); });
  }

  void Offer(const LiveFrame& frame) {
    if (closed_)
      return;
    if (!frame)
      return Close();
    if (writing_) {
      pending_ = frame;
      return;
    }
    current_ = frame;
    part_ = std::string("--") + kBoundary +
            "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(frame->size()) +
            "\r\n\r\n";
    Send(std::vector<asio::const_buffer>{asio::buffer(part_), asio::buffer(*current_),
                                         asio::buffer("\r\n", 2)});
  }

  template <typename Buffers>
  void Send(const Buffers& buffers) {
    writing_ = true;
    WatchProgress();
    auto self = shared_from_this();
    asio::async_write(socket_, buffers, [self](std::error_code ec, std::size_t) {
      self->writing_ = false;
      if (ec)
        return self->Close();
      LiveFrame next = std::move(self->pending_);
      self->pending_.reset();
      if (next)
        return self->Offer(next);
      self->WatchProgress();
    });
  }

  // Closes the view when nothing moves for kStalledSeconds: a viewer that
  // takes no frame, or a feed that sends none.
  void WatchProgress() {
    if (closed_)
      return;
    auto self = shared_from_this();
    stall_.expires_after(std::chrono::seconds(kStalledSeconds));
    stall_.async_wait([self](std::error_code ec) {
      if (!ec)
        self->Close();
    });
  }

  // The viewer says nothing more; its end ends the view.
  void WatchPeer() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(sink_), [self](std::error_code ec, std::size_t) {
      if (!ec)
        return self->WatchPeer();
      self->Close();
    });
  }

  void Close() {
    if (closed_)
      return;
    closed_ = true;
    if (id_ != 0)
      feed_.Leave(id_);
    id_ = 0;
    stall_.cancel();
    std::error_code ignored;
    socket_.close(ignored);
  }

  tcp::socket socket_;
  LiveFeed feed_;
  asio::steady_timer stall_;
  int id_ = 0;
  bool closed_ = false;
  bool writing_ = false;
  std::string head_;
  std::string part_;
  LiveFrame current_;
  LiveFrame pending_;
  char sink_[1024];
};

// Reads the first line, and for HTTP the rest of the head, then hands the
// socket to the session it asks for.
class MediaPortOpening : public std::enable_shared_from_this<MediaPortOpening> {
 public:
  MediaPortOpening(tcp::socket socket, LiveFeed feed)
      : socket_(std::move(socket)), feed_(std::move(feed)), deadline_(socket_.get_executor()) {}

  void Start() {
    auto self = shared_from_this();
    deadline_.expires_after(std::chrono::seconds(kFirstLineSeconds));
    deadline_.async_wait([self](std::error_code ec) {
      if (!ec) {
        std::error_code ignored;
        self->socket_.close(ignored);
      }
    });
    Read("\n", [self](std::size_t n) { self->OnFirstLine(n); });
  }

 private:
  template <typename Then>
  void Read(const char* until, Then then) {
    asio::async_read_until(socket_, asio::dynamic_buffer(inbox_, kHeadLimit), until,
                           [this, then](std::error_code ec, std::size_t n) {
                             if (ec) {
                               deadline_.cancel();
                               return;
                             }
                             then(n);
                           });
  }

  void OnFirstLine(std::size_t n) {
    std::string line = inbox_.substr(0, n - 1);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!IsHttpRequestLine(line)) {
      deadline_.cancel();
      return std::make_shared<PatternSession>(std::move(socket_))->Start();
    }
    auto self = shared_from_this();
    Read("\r\n\r\n", [self, line](std::size_t) {
      self->deadline_.cancel();
      std::make_shared<LiveViewSession>(std::move(self->socket_), self->feed_)
          ->Start(LiveViewRefusal(line));
    });
  }

  tcp::socket socket_;
  LiveFeed feed_;
  asio::steady_timer deadline_;
  std::string inbox_;
};

}  // namespace

bool IsHttpRequestLine(const std::string& line) {
  std::size_t method_end = line.find(' ');
  if (method_end == std::string::npos || method_end == 0)
    return false;
  for (std::size_t i = 0; i < method_end; ++i) {
    if (line[i] < 'A' || line[i] > 'Z')
      return false;
  }
  std::size_t target_end = line.find(' ', method_end + 1);
  if (target_end == std::string::npos || target_end == method_end + 1)
    return false;
  std::string version = line.substr(target_end + 1);
  return version == "HTTP/1.0" || version == "HTTP/1.1";
}

std::string LiveViewRefusal(const std::string& request_line) {
  std::size_t method_end = request_line.find(' ');
  std::string method = request_line.substr(0, method_end);
  std::string target =
      request_line.substr(method_end + 1, request_line.rfind(' ') - method_end - 1);
  std::string path = target.substr(0, target.find('?'));
  if (method != "GET")
    return PlainAnswer("405 Method Not Allowed", "Allow: GET\r\n", "The live view takes GET.");
  if (path != "/")
    return PlainAnswer("404 Not Found", "", "The live view is at \"/\".");
  return std::string();
}

void ServeMediaPort(tcp::socket socket, LiveFeed feed) {
  std::make_shared<MediaPortOpening>(std::move(socket), std::move(feed))->Start();
}

}  // namespace devcloud

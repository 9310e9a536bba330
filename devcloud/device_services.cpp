// Device services (see device_services.h). Each session owns its socket and
// keeps itself alive through its pending handlers; it ends when its peer does.
#include "devcloud/device_services.h"

#include <memory>
#include <sstream>
#include <vector>

#include "zelmo/pipe.h"

namespace devcloud {
namespace {

using asio::ip::tcp;

constexpr std::size_t kChunk = 256 * 1024;

// One chunk of the media pattern, shared by all media sessions; its length is a
// multiple of 256, so chunk after chunk continues the pattern.
const std::vector<char>& MediaChunk() {
  static const std::vector<char> chunk = [] {
    std::vector<char> bytes(kChunk);
    for (std::size_t i = 0; i < kChunk; ++i)
      bytes[i] = static_cast<char>(i & 0xff);
    return bytes;
  }();
  return chunk;
}

// Endless media: the chunk written again and again; each write waits for the
// previous one, so the reader sets the pace.
class MediaSession : public std::enable_shared_from_this<MediaSession> {
 public:
  explicit MediaSession(tcp::socket socket) : socket_(std::move(socket)) {}
  void Start() {
    WatchPeer();
    Write();
  }

 private:
  void Write() {
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(MediaChunk()), [self](std::error_code ec, std::size_t) {
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

// Greeting line, then every byte back; a read waits for the previous echo.
class EchoSession : public std::enable_shared_from_this<EchoSession> {
 public:
  EchoSession(tcp::socket socket, std::string greeting)
      : socket_(std::move(socket)), greeting_(std::move(greeting)), buffer_(kChunk) {}
  void Start() {
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(greeting_), [self](std::error_code ec, std::size_t) {
      if (!ec)
        self->Read();
    });
  }

 private:
  void Read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(buffer_), [self](std::error_code ec, std::size_t n) {
      if (ec)
        return;
      asio::async_write(self->socket_, asio::buffer(self->buffer_.data(), n),
                        [self](std::error_code ec2, std::size_t) {
                          if (!ec2)
                            self->Read();
                        });
    });
  }

  tcp::socket socket_;
  std::string greeting_;
  std::vector<char> buffer_;
};

class RtspSession : public std::enable_shared_from_this<RtspSession> {
 public:
  RtspSession(tcp::socket socket, DeviceInfo device)
      : socket_(std::move(socket)), device_(std::move(device)) {}
  void Start() { Read(); }

 private:
  void Read() {
    auto self = shared_from_this();
    asio::async_read_until(socket_, asio::dynamic_buffer(inbox_, 16384), "\r\n\r\n",
                           [self](std::error_code ec, std::size_t n) {
                             if (ec)
                               return;
                             self->Answer(self->inbox_.substr(0, n - 4));
                             self->inbox_.erase(0, n);
                           });
  }
  void Answer(const std::string& head) {
    answer_ = RtspAnswer(head, device_);
    if (answer_.empty())
      return;
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(answer_), [self](std::error_code ec, std::size_t) {
      if (!ec)
        self->Read();
    });
  }

  tcp::socket socket_;
  DeviceInfo device_;
  std::string inbox_;
  std::string answer_;
};

std::string HeaderValue(const std::string& head, const std::string& name) {
  std::istringstream lines(head);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
        line[name.size()] == ':') {
      std::size_t start = line.find_first_not_of(' ', name.size() + 1);
      return start == std::string::npos ? std::string() : line.substr(start);
    }
  }
  return std::string();
}

std::string Sdp(const DeviceInfo& device) {
  return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=" + device.name +
         "\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
         "a=rtpmap:96 H264/90000\r\na=control:track1\r\n";
}

// HttpPort: the device's web server does the HTTP; the session only pipes.
void ServeWeb(tcp::socket socket, uint16_t web_port) {
  auto server = std::make_shared<tcp::socket>(socket.get_executor());
  auto client = std::make_shared<tcp::socket>(std::move(socket));
  tcp::endpoint at(asio::ip::address_v4::loopback(), web_port);
  server->async_connect(at, [server, client](std::error_code ec) {
    if (ec)
      return;
    std::error_code ignored;
    server->set_option(tcp::no_delay(true), ignored);
    zelmo::Pipe::Start(std::move(*client), std::move(*server), "", "", {});
  });
}

}  // namespace

std::string ServiceGreeting(const std::string& service, const DeviceInfo& device) {
  return service + " service of " + device.sn + " (" + device.name + ")\r\n";
}

std::string RtspAnswer(const std::string& head, const DeviceInfo& device) {
  std::string method = head.substr(0, head.find(' '));
  std::size_t version = head.find(" RTSP/1.0");
  if (method.empty() || version == std::string::npos)
    return std::string();
  std::string top = "RTSP/1.0 200 OK\r\nCSeq: " + HeaderValue(head, "CSeq") +
                    "\r\nServer: devcloud " + device.sn + "\r\n";
  if (method == "OPTIONS")
    return top + "Public: OPTIONS, DESCRIBE\r\n\r\n";
  if (method == "DESCRIBE") {
    std::string sdp = Sdp(device);
    return top + "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
           "\r\n\r\n" + sdp;
  }
  return "RTSP/1.0 501 Not Implemented\r\nCSeq: " + HeaderValue(head, "CSeq") + "\r\n\r\n";
}

void ServeDeviceService(const std::string& service, tcp::socket socket, const DeviceInfo& device,
                        uint16_t web_port) {
  std::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  if (service == "HttpPort")
    return ServeWeb(std::move(socket), web_port);
  if (service == "RTSPPort") {
    return std::make_shared<RtspSession>(std::move(socket), device)->Start();
  }
  if (service == "MediaPort")
    return std::make_shared<MediaSession>(std::move(socket))->Start();
  if (service == "SdkMapPort" || service == "HttpMapPort" || service == "AccessIpcHTTPPort" ||
      service == "AccessIpcRTSPPort") {
    std::make_shared<EchoSession>(std::move(socket), ServiceGreeting(service, device))->Start();
  }
}

}  // namespace devcloud

// Device services (see device_services.h). Each session owns its socket and
// keeps itself alive through its pending handlers; it ends when its peer does.
#include "devcloud/device_services.h"

#include <memory>
#include <vector>

#include "devcloud/media_port.h"
#include "zelmo/pipe.h"

namespace devcloud {
namespace {

using asio::ip::tcp;

constexpr std::size_t kChunk = 256 * 1024;

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

std::string CameraTitle(const DeviceInfo& device) {
  return device.name + ", camera 1";
}

DeviceServices::DeviceServices(const DeviceInfo& device)
    : device_(device),
      recorder_rtsp_(device.name),
      camera_rtsp_(CameraTitle(device)),
      live_(device.name) {}

DeviceServices::~DeviceServices() {
  Stop();
}

void DeviceServices::Stop() {
  recorder_rtsp_.Stop();
  camera_rtsp_.Stop();
  live_.Stop();
}

void DeviceServices::Serve(const std::string& service, tcp::socket socket) {
  std::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  if (service == "HttpPort")
    return ServeWeb(std::move(socket), web_port_);
  if (service == "RTSPPort")
    return recorder_rtsp_.Serve(std::move(socket));
  if (service == "AccessIpcRTSPPort")
    return camera_rtsp_.Serve(std::move(socket));
  if (service == "MediaPort")
    return ServeMediaPort(std::move(socket), live_);
  if (service == "SdkMapPort" || service == "HttpMapPort" || service == "AccessIpcHTTPPort") {
    std::make_shared<EchoSession>(std::move(socket), ServiceGreeting(service, device_))->Start();
  }
}

}  // namespace devcloud

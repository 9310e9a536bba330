// The services of a simulated device, one per port rule name, each serving one
// connection that the agent hands over (from the relay, or from a loopback port
// when the services are exposed):
// - "HttpPort": piped to the device's web server (device_web.h).
// - "RTSPPort": answers RTSP OPTIONS and DESCRIBE (with a small SDP); other
//   methods get 501.
// - "MediaPort": streams bytes without end, as fast as the reader takes them;
//   byte n of the stream is n mod 256, so a reader can check what it got.
// - the others: one line naming the service, then an echo of what arrives.
#pragma once
#include <asio.hpp>
#include <cstdint>
#include <string>

namespace devcloud {

struct DeviceInfo {
  std::string sn;
  std::string name;
  std::string user;
  std::string key;
};

// The greeting line of the echo services.
std::string ServiceGreeting(const std::string& service, const DeviceInfo& device);

// Answers one RTSP request (head without its blank line); empty when the head
// is not an RTSP request.
std::string RtspAnswer(const std::string& head, const DeviceInfo& device);

// Serves socket as the named service; web_port is the device web server's
// loopback port. Unknown names close the socket.
void ServeDeviceService(const std::string& service, asio::ip::tcp::socket socket,
                        const DeviceInfo& device, uint16_t web_port);

}  // namespace devcloud

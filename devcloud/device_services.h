// The services of a simulated device, one per port rule name, each serving the
// connections that the agent hands over (from the relay, or from a loopback
// port when the services are exposed):
// - "HttpPort": piped to the device's web server (device_web.h).
// - "RTSPPort": the recorder's live video over RTSP (device_rtsp.h), titled
//   with the device's name.
// - "AccessIpcRTSPPort": the same for the camera behind the recorder, titled
//   with the device's name and ", camera 1".
// - "MediaPort": the live view for a browser, or a test pattern (media_port.h).
// - the others: one line naming the service, then an echo of what arrives.
#pragma once
#include <asio.hpp>
#include <cstdint>
#include <string>

#include "devcloud/device_rtsp.h"
#include "devcloud/live_feed.h"

namespace devcloud {

struct DeviceInfo {
  std::string sn;
  std::string name;
  std::string user;
  std::string key;
};

// The greeting line of the echo services.
std::string ServiceGreeting(const std::string& service, const DeviceInfo& device);

// The title of the camera's picture.
std::string CameraTitle(const DeviceInfo& device);

// One device's services. Serve runs on the agent's io thread; the video
// services start their media only when a first reader comes.
class DeviceServices {
 public:
  explicit DeviceServices(const DeviceInfo& device);
  ~DeviceServices();

  // The device web server's loopback port, for "HttpPort".
  void SetWebPort(uint16_t port) { web_port_ = port; }

  // Serves socket as the named service; unknown names close the socket.
  void Serve(const std::string& service, asio::ip::tcp::socket socket);

  // Ends the video: RTSP connections and live views. The other services end
  // with their peers.
  void Stop();

 private:
  DeviceInfo device_;
  uint16_t web_port_ = 0;
  DeviceRtsp recorder_rtsp_;
  DeviceRtsp camera_rtsp_;
  LiveFeed live_;
};

}  // namespace devcloud

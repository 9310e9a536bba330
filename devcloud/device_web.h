// The device's web interface ("HttpPort"): a page with the device's name and
// serial that checks the user and Key query parameters against the device's
// user and key and shows the port table that the Base64 text Key2 holds. The
// gateway sends Key2 without percent-encoding, so a "+" in it stays a "+".
// Signed in, the page also shows the live view from the media port that Key2
// names ("live", media_port.h) and how to play the RTSP ports.
// Served by an HTTP server of its own on a loopback port.
#pragma once
#include <httplib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "devcloud/device_services.h"
#include "devcloud/http_thread.h"

namespace devcloud {

// The page for these query values (key2 as received, "+" or blank alike);
// host: the name the browser reached the page by, for the addresses of the
// live view and the players, which go to other ports of the same computer.
std::string RenderDevicePage(const DeviceInfo& device, const std::string& user,
                             const std::string& key, const std::string& key2,
                             const std::string& host);

// The host name of an HTTP Host header without its port; "localhost", where the
// gateway sends the browser, when it holds anything but a name or an address.
std::string PageHost(const std::string& host_header);

// Base64 with the standard alphabet; false for text that is not Base64.
bool DecodeBase64(const std::string& text, std::string& out);

class DeviceWeb {
 public:
  explicit DeviceWeb(DeviceInfo device);
  ~DeviceWeb();

  // Listens on 127.0.0.1 at a free port. 0, or -1.
  int Start();
  void Stop();
  uint16_t port() const { return port_; }

 private:
  DeviceInfo device_;
  httplib::Server server_;
  HttpServerThread http_;
  uint16_t port_ = 0;
};

}  // namespace devcloud

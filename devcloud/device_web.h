// The device's web interface ("HttpPort"): a page with the device's name and
// serial that checks the user and Key query parameters against the device's
// user and key and shows the port table that the Base64 text Key2 holds. The
// gateway sends Key2 without percent-encoding, so a "+" in it stays a "+".
// Served by an HTTP server of its own on a loopback port.
#pragma once
#include <httplib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "devcloud/device_services.h"
#include "devcloud/http_thread.h"

namespace devcloud {

// The page for these query values (key2 as received, "+" or blank alike).
std::string RenderDevicePage(const DeviceInfo& device, const std::string& user,
                             const std::string& key, const std::string& key2);

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

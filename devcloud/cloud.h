// The whole device cloud in one object: the HTTP side (clock, API, portal,
// admin), the relay, and the built-in device agents, each part on threads of
// its own. devcloud's main runs one; tests run one in-process on free ports.
#pragma once
#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devcloud/agent.h"
#include "devcloud/cloud_http.h"
#include "devcloud/config.h"
#include "devcloud/directory.h"
#include "devcloud/http_thread.h"
#include "devcloud/relay.h"
#include "devcloud/service_clock.h"
#include "devcloud/turn_credentials.h"

namespace devcloud {

struct CloudOptions {
  std::string listen_host = "127.0.0.1";
  int listen_port = 8700;  // 0: a free port
  int relay_port = 0;      // 0: a free port
  CloudConfig config;
  std::vector<std::string> expose;  // serials whose services go on loopback ports
  TurnService turn;                 // address empty: none
};

class Cloud {
 public:
  using Say = std::function<void(const std::string& line)>;

  // say receives a line for each service started and for agents that come and
  // go; it may be called from the cloud's threads.
  explicit Cloud(Say say);
  ~Cloud();

  // 0, or -1 with why; a failed start leaves nothing running.
  int Start(const CloudOptions& options, std::string& why);
  void Stop();

  uint16_t http_port() const { return http_port_; }
  uint16_t relay_port() const { return relay_ != nullptr ? relay_->port() : 0; }

 private:
  int StartRelay(const CloudOptions& options, std::string& why);
  int StartHttp(const CloudOptions& options, std::string& why);
  int StartAgents(const CloudOptions& options, std::string& why);
  int ExposeServices(const std::string& sn, std::string& why);
  void WaitForAgents();

  Say say_;
  std::unique_ptr<Directory> directory_;
  ServiceClock clock_;
  asio::io_context relay_io_;
  asio::io_context agents_io_;
  std::unique_ptr<Relay> relay_;
  std::vector<std::unique_ptr<Agent>> agents_;
  std::thread relay_thread_;
  std::thread agents_thread_;
  httplib::Server server_;
  HttpServerThread http_;
  CloudHttpContext context_{};
  uint16_t http_port_ = 0;
};

}  // namespace devcloud

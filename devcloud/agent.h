// A device agent: the simulated device's side of the cloud. Like a device
// behind NAT it keeps one outbound link to the relay ("AGENT <serial>"), on
// which it first proves the device's agent secret ("PROOF" for the relay's
// "CHALLENGE"); then for every "OPEN <id> <service>" it opens a connection of
// its own ("DATA <id>") and serves the service on it (device_services.h). Once
// linked it also keeps spare connections at the relay ("SPARE <serial>
// <secret>"), which take new streams without that round trip. A lost link is
// made again every second until the agent stops; a refused proof stops the
// agent for good. It can also expose its services on loopback ports, so a
// reader can reach them without the tunnel.
//
// The link and the services run on the caller's io_context; the device's web
// server runs on threads of its own.
#pragma once
#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "devcloud/device_services.h"
#include "devcloud/device_web.h"
#include "devcloud/line_link.h"
#include "devcloud/turn_credentials.h"
#include "zelmo/direct_link.h"

namespace devcloud {

class Agent {
 public:
  using Notes = std::function<void(const std::string& text)>;
  using Refused = std::function<void(const std::string& why)>;

  // secret: the device's agent secret from the cloud's configuration.
  Agent(asio::io_context& io, DeviceInfo device, std::string secret, asio::ip::tcp::endpoint relay,
        Notes notes);
  ~Agent();

  // Starts the web server and the link; 0, or -1 when the web server fails.
  int Start();
  // Ends the link, the web server and exposed ports. Call on the io thread, or
  // with the io thread stopped.
  void Stop();

  // Opens a loopback port per service (HttpPort is the web server's own port);
  // pairs of service name and port, empty on failure. Call before the io runs
  // or on its thread.
  std::vector<std::pair<std::string, uint16_t>> ExposeServices();

  const DeviceInfo& device() const { return device_; }
  // Called once, on the io thread, when the relay refuses the agent's proof.
  void SetRefusedHandler(Refused refused) { refused_ = std::move(refused); }
  // The STUN and TURN server the agent's direct paths gather through; each
  // path gets fresh credentials for the device. Call before Start.
  void SetTurn(TurnService turn) { turn_ = std::move(turn); }

 private:
  void Connect();
  void ConnectLater();
  void OnLine(const std::string& line);
  void Refuse(const std::string& why);
  void OpenData(const std::string& id, const std::string& service);
  void RenewSpares(const std::string& secret);
  void OpenSpares();
  void OpenSpare();
  void OnSpareTaken(const std::shared_ptr<asio::ip::tcp::socket>& socket,
                    const std::string& header);
  void AcceptExposed(asio::ip::tcp::acceptor& acceptor, const std::string& service);
  void OnDirect(const std::vector<std::string>& words);
  bool DirectService(const std::string& service, asio::ip::tcp::endpoint& at);
  void ReportPaths();
  void CloseDirect();

  // A tunnel's direct path, as this side answers it, and what the relay last
  // heard of it.
  struct Direct {
    std::shared_ptr<zelmo::DirectLink> link;
    std::shared_ptr<zelmo::DirectCounters> counters;
    zelmo::TunnelPath path;
    std::string reported;
  };

  asio::io_context& io_;
  DeviceInfo device_;
  std::string secret_;
  asio::ip::tcp::endpoint relay_;
  Notes notes_;
  Refused refused_;
  DeviceWeb web_;
  DeviceServices services_;
  asio::steady_timer retry_;
  std::shared_ptr<LineLink> link_;
  std::vector<std::shared_ptr<asio::ip::tcp::socket>> spares_;
  int spares_opening_ = 0;
  std::string link_secret_;  // from the relay's "LINKED"
  std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> exposed_;
  std::vector<std::pair<std::string, uint16_t>> exposed_ports_;
  TurnService turn_;
  std::map<std::string, Direct> direct_;  // by the relay's number of the tunnel
  asio::steady_timer report_;
  bool stopped_ = false;
  bool linked_ = false;
};

}  // namespace devcloud

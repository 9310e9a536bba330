// The relay: the cloud's meeting point for tunnels. Device agents keep an
// outbound link to it, taken as the device's once the agent has proved the
// device's secret (secrets.h); a library opens a tunnel with a control
// connection and each stream with a connection of its own, which the relay
// joins with the connection the device's agent opens when asked, or with a
// spare connection the agent opened ahead. A library may likewise keep a
// stream connection ready. The relay only joins: the bytes pass through a Pipe untouched.
// For a direct UDP path the relay passes the peers' set-up lines between a
// tunnel's control connection and its device's link, at a bounded rate, and
// keeps what the agent reports of the tunnel's path and UDP bytes for its stats.
// Protocol lines are in zelmo/wire.h.
//
// All state lives on one I/O thread. Other threads (the HTTP admin handlers)
// reach it through Call(), which runs a function there and waits for it.
#pragma once
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "devcloud/directory.h"
#include "devcloud/line_link.h"
#include "zelmo/pipe.h"
#include "zelmo/tunnel_path.h"

namespace devcloud {

class Relay {
 public:
  using Notes = std::function<void(const std::string& text)>;

  // notes hears of agents that come and go, and of set-up lines dropped.
  Relay(asio::io_context& io, const Directory& directory, Notes notes);
  ~Relay();

  // Binds and starts accepting. 0, or -1 with why.
  int Listen(const asio::ip::tcp::endpoint& at, std::string& why);
  // A tunnel's control connection that sends nothing (not even the library's
  // pings) for this long is closed, with its tunnel. For tests; call first.
  void SetControlSilenceLimit(std::chrono::steady_clock::duration limit) {
    control_silence_limit_ = limit;
  }
  uint16_t port() const { return port_; }

  // These run on the relay's thread; use Call() from elsewhere.
  // -1 for an unknown serial, else 0 (SetOnline, Drop) or the tunnels reached.
  int SetOnline(const std::string& sn, bool online);
  int ReportNetInfo(const std::string& sn, int code, int count);
  int Drop(const std::string& sn);
  bool IsOnline(const std::string& sn) const;
  // The device's agent is linked, whatever the admin's online switch says.
  bool IsLinked(const std::string& sn) const;
  // How the device's open tunnels go ("relayed" or "direct"; several joined by
  // ", "), or empty while none is open.
  std::string TunnelManners(const std::string& sn) const;
  // Per device: its state, tunnel and stream counts, the bytes the relay carried;
  // per open tunnel: its device, its path and the bytes to and from the device,
  // in all and by what carried them (the relay, or UDP as the agent reports).
  nlohmann::json Stats() const;
  void Close();

  template <typename F>
  auto Call(F function) -> decltype(function()) {
    std::packaged_task<decltype(function())()> task(std::move(function));
    auto result = task.get_future();
    asio::post(io_, [&task] { task(); });
    return result.get();
  }

 private:
  struct Device;
  struct Tunnel;
  struct PendingStream;
  struct ReadyStream;
  class Greeting;

  void Accept();
  void AcceptLater();
  void OnHello(asio::ip::tcp::socket socket, const std::vector<std::string>& words,
               std::string rest);
  void OnTunnel(asio::ip::tcp::socket socket, const std::string& token, const std::string& sn,
                std::string rest);
  void OnStream(asio::ip::tcp::socket socket, const std::string& key, const std::string& service,
                std::string rest);
  void OnControlLine(const std::string& key, const std::string& line);
  void OnAgent(asio::ip::tcp::socket socket, const std::string& sn, std::string rest);
  void OnAgentLine(Device& device, const std::string& line);
  void OnPathReport(Tunnel& tunnel, const std::vector<std::string>& words);
  Tunnel* AgentTunnel(Device& device, const std::string& id);
  void OnProof(Device& device, const std::shared_ptr<LineLink>& link, const std::string& challenge,
               const std::string& line);
  void Link(Device& device, const std::shared_ptr<LineLink>& link);
  void OnData(asio::ip::tcp::socket socket, const std::string& id, std::string rest);
  void OnReady(asio::ip::tcp::socket socket, const std::string& key, std::string rest);
  void OnReadyLine(const std::string& key, const std::shared_ptr<ReadyStream>& ready,
                   std::error_code ec);
  void OnSpare(asio::ip::tcp::socket socket, const std::string& sn, const std::string& secret,
               std::string rest);
  int TakeSpare(Device& device, Tunnel& tunnel, const std::string& service,
                asio::ip::tcp::socket& library_side, std::string& rest);
  void Join(Device& device, Tunnel& tunnel, asio::ip::tcp::socket library_side,
            std::string to_device, asio::ip::tcp::socket device_side, std::string to_library);
  void OnAgentGone(Device& device, const std::shared_ptr<LineLink>& link);
  void CloseTunnel(const std::string& key);
  void CloseTunnelsOf(const std::string& sn);
  Device* FindDevice(const std::string& sn);

  asio::io_context& io_;
  const Directory& directory_;
  Notes notes_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer accept_timer_;
  std::chrono::milliseconds accept_pause_;
  uint64_t accept_errors_ = 0;
  std::chrono::steady_clock::duration control_silence_limit_;
  uint16_t port_ = 0;
  std::map<std::string, std::unique_ptr<Device>> devices_;         // by serial
  std::map<std::string, std::unique_ptr<Tunnel>> tunnels_;         // by stream key
  std::map<std::string, std::string> keys_by_id_;                  // tunnel id -> stream key
  uint64_t tunnels_opened_ = 0;                                    // numbers the tunnel ids
  std::map<std::string, std::unique_ptr<PendingStream>> pending_;  // by stream id
};

}  // namespace devcloud

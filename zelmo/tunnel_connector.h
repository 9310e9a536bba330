// Opens a client's tunnel through the cloud and watches it. The control
// connection to the relay carries the opening handshake, then the network
// events, and its closing is the end of the tunnel. An attempt that finds the
// device offline or the cloud away or busy is repeated, quietly, after a pause
// that doubles from a second up to a minute, until the client is deleted. A
// refusal for good ("DENIED": not the account's device, an unknown token) ends
// the attempts at once and is logged once; the tunnel then simply never comes
// up. A tunnel that has closed or was refused is not reopened unless asked.
//
// An open tunnel pings the relay every keep-alive interval (10 s) on its
// control connection; when nothing at all has come back for two intervals the
// path is taken as dead (a relay or network that vanished without a reset) and
// the tunnel is closed as if the relay had closed it.
// Everything here runs on the client's I/O thread.
#pragma once
#include <asio.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zelmo/callback_gate.h"
#include "zelmo/direct_transport.h"
#include "zelmo/tunnel.h"
#include "zelmo/turn_server.h"

namespace zelmo {

// The pause after failed attempts in a row: 1 s, 2 s, 4 s ... up to 60 s.
std::chrono::seconds RetryPause(int failed_attempts);

// Sets the keep-alive interval of tunnels opened from now on, for tests that
// cannot wait for the real one.
void SetKeepAliveInterval(std::chrono::milliseconds interval);

class TunnelConnector {
 public:
  struct Events {
    // Refreshes the client's device list away from the I/O thread, then calls
    // done on it with whether the serial is listed; false stops this tunnel
    // from coming up.
    std::function<void(const std::string& serial, std::function<void(bool listed)> done)>
        check_listed;
    std::function<void(Tunnel&)> up;
    std::function<void()> closed;
    // The client's callback gate, which the tunnels' network events pass too.
    CallbackGate* gate = nullptr;
  };

  // turn: the TURN server for direct paths, when the cloud named one.
  TunnelConnector(asio::io_context& io, asio::ip::tcp::endpoint relay, std::string token,
                  TurnServer turn, Events events);
  ~TunnelConnector();

  // Starts opening a tunnel to the device, unless one is being opened or is open.
  void Open(const std::string& serial);

 private:
  enum class Phase { kIdle, kOpening, kUp, kClosed };

  void Attempt();
  void SendHello();
  void ReadReply();
  void OnReply(const std::string& line);
  void RetryLater();
  void GiveUp(const std::string& why);
  void CheckListed(const std::string& tunnel_id, const std::string& stream_key);
  void BringUp(const std::string& tunnel_id, const std::string& stream_key);
  void Watch();
  void KeepAlive();
  void OnEvent(const std::string& line);
  void SendLine(std::string line, bool ping);
  void WriteNext();
  void End();

  struct Queued {
    std::string text;
    bool ping;
  };
  static constexpr std::size_t kMaxQueuedLines = 128;

  asio::io_context& io_;
  asio::ip::tcp::endpoint relay_;
  std::string token_;
  TurnServer turn_;
  Events events_;
  asio::ip::tcp::socket control_;
  asio::steady_timer timer_;
  asio::steady_timer keepalive_;
  std::chrono::milliseconds keepalive_interval_{0};
  std::chrono::steady_clock::time_point last_heard_;
  const std::string ping_;
  bool ping_pending_ = false;
  std::deque<Queued> lines_;           // to the relay, the first one being written
  DirectTransport* direct_ = nullptr;  // the open tunnel's transport
  std::string serial_;
  std::string inbox_;
  std::string outbox_;
  Phase phase_ = Phase::kIdle;
  int failed_attempts_ = 0;
  bool refusal_logged_ = false;
  // Every tunnel ever opened: their contexts stay valid until the client ends.
  std::vector<std::unique_ptr<Tunnel>> tunnels_;
};

}  // namespace zelmo

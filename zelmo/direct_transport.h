// A tunnel's transport once a direct path may join the relay: streams start on
// the relay as always, while in the background the library offers the device
// a direct path (direct_link.h). Once it works, new streams take it; streams
// already open stay where they are until they end. When the path is lost, new
// streams go back to the relay at once, and when it ends the library offers a
// new one later, after 5 s, doubling up to a minute while attempts fail.
// All calls on the client's I/O thread.
#pragma once
#include <asio.hpp>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zelmo/direct_link.h"
#include "zelmo/transport.h"
#include "zelmo/turn_server.h"

namespace zelmo {

class DirectTransport : public Transport {
 public:
  struct Events {
    // Words of a "DIRECT" line for the relay to pass on.
    std::function<void(const std::vector<std::string>& words)> send;
    // The path of new streams changed.
    std::function<void(const TunnelPath& path)> path;
  };

  // counter grows by every byte the direct path carries, as the relay's does.
  DirectTransport(asio::io_context& io, std::unique_ptr<Transport> relay, TurnServer turn,
                  std::atomic<int64_t>* counter, Events events);
  ~DirectTransport() override;

  // Makes the first offer, when the cloud named a TURN server.
  void Start();
  // The words of a "DIRECT" line from the device's side (after "DIRECT").
  void OnLine(const std::vector<std::string>& words);

  void Carry(asio::ip::tcp::socket local, const std::string& service,
             std::shared_ptr<void> stream) override;
  void Close() override;
  TunnelPath path() const override { return path_; }

 private:
  void Attempt();
  void OnEnded(const std::string& why);
  void SetPath(const TunnelPath& path);

  asio::io_context& io_;
  std::unique_ptr<Transport> relay_;
  TurnServer turn_;
  std::shared_ptr<DirectCounters> counters_;
  Events events_;
  std::shared_ptr<DirectLink> link_;
  asio::steady_timer retry_;
  std::chrono::seconds pause_;
  int attempt_ = 0;
  bool closed_ = false;
  TunnelPath path_;
};

}  // namespace zelmo

// A direct path of one tunnel, as one side sees it: the library's side offers
// it, the device agent's side answers, both through the cloud ("DIRECT" lines,
// wire.h). Once ICE has chosen a pair and SCTP runs over it, every local
// connection of the tunnel can be one stream of the path.
//
// Each stream sends only within the credit its peer granted (kStreamWindow at
// first, then as the peer's local socket takes the bytes), so a slow reader
// holds back its own stream and no other. A stream ends when both sides have
// finished sending, or at once when either side resets it.
//
// The link pings its peer every half second on the path itself. After 1.5 s
// without an answer it is lost: new streams go elsewhere while open ones wait
// for it to answer again. After 10 s, or when the association fails, it ends
// and its streams are reset.
//
// Threads: every public call and every event happens on the owner's io thread;
// the path itself lives on the engine's thread (direct_engine.h).
#pragma once
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zelmo/direct_ice.h"
#include "zelmo/tunnel_path.h"

namespace zelmo {

constexpr std::size_t kStreamWindow = 512 * 1024;

// Bytes the link's streams carried, counted where they meet the local sockets.
struct DirectCounters {
  std::atomic<int64_t> to_device{0};
  std::atomic<int64_t> from_device{0};
  std::atomic<int64_t>* total = nullptr;  // grows by both, when set
};

class DirectLink : public std::enable_shared_from_this<DirectLink> {
 public:
  enum class Side { kLibrary, kAgent };
  struct Events {
    // Words of a "DIRECT" line for the peer.
    std::function<void(const std::vector<std::string>& words)> send;
    // The path new streams would take changed: usable or not.
    std::function<void(const TunnelPath& path, bool usable)> path;
    // The link is over; why says what ended it.
    std::function<void(const std::string& why)> ended;
    // Agent side: where the device serves a service; false for none.
    std::function<bool(const std::string& service, asio::ip::tcp::endpoint& at)> service;
  };

  DirectLink(asio::io_context& io, Side side, TurnServer turn,
             std::shared_ptr<DirectCounters> counters, Events events);
  ~DirectLink();

  // Library side: starts an attempt, numbered by the caller.
  void Offer(int attempt);
  // The words of a "DIRECT" line from the peer (after "DIRECT", and after the
  // tunnel id on the agent's side).
  void OnLine(const std::vector<std::string>& words);
  // New streams may go on the path now.
  bool usable() const { return usable_; }
  // Library side: carries a local connection as a stream of the path. False
  // when the path cannot take it now; local is then left as it was.
  bool Carry(asio::ip::tcp::socket& local, const std::string& service, std::shared_ptr<void> hold);
  // Ends the path and its streams; no event follows.
  void Close();

 private:
  struct Stream;
  struct Engine;
  class Bridge;

  void Begin(int attempt);
  void SendDescription(int attempt, const IceDescription& local);
  void SendReady(int attempt);
  void OnMessage(uint16_t sid, uint32_t kind, std::string payload);
  void OnPathState(const TunnelPath& path, bool usable);
  void OnEnded(const std::string& why);
  void Accept(uint16_t sid, uint32_t token, const std::string& service);
  void ReadLocal(const std::shared_ptr<Stream>& stream);
  void WriteLocal(const std::shared_ptr<Stream>& stream);
  void Grant(const std::shared_ptr<Stream>& stream, std::size_t bytes);
  void FinishIfDone(const std::shared_ptr<Stream>& stream);
  void Reset(const std::shared_ptr<Stream>& stream, bool tell_peer);
  void Forget(const std::shared_ptr<Stream>& stream);
  void ToEngine(uint16_t sid, uint32_t kind, std::string payload);
  std::shared_ptr<Stream> Find(uint16_t sid, uint32_t token) const;

  asio::io_context& io_;
  const Side side_;
  TurnServer turn_;
  std::shared_ptr<DirectCounters> counters_;
  Events events_;
  std::shared_ptr<Bridge> bridge_;
  std::shared_ptr<Engine> engine_;
  int attempt_ = -1;
  IceDescription remote_;
  std::string key_hex_;     // library side: the streams' key, as the offer says it
  bool described_ = false;  // agent side: its own description went out
  bool remote_complete_ = false;
  bool usable_ = false;
  bool closed_ = false;
  uint32_t next_token_ = 1;
  std::map<uint32_t, std::shared_ptr<Stream>> streams_;  // by token
  std::map<uint16_t, uint32_t> sids_;                    // stream number in use -> token
};

}  // namespace zelmo

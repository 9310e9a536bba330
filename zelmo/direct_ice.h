// Finding a UDP path between the two peers of a tunnel (ICE): one UDP socket,
// its host candidates, and the server-reflexive and relayed candidates of a
// TURN allocation on the same socket. Each side gathers fully, hands its
// description to the other through the cloud, and then connectivity checks
// pick the pair that works best. After that the session carries the
// datagrams of the streams on the chosen pair.
// Everything here runs on the engine's thread (direct_engine.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zelmo/tunnel_path.h"
#include "zelmo/turn_server.h"

namespace zelmo {

// What one side tells the other: its credentials for the checks and its
// candidates in their usual text form.
struct IceDescription {
  std::string ufrag;
  std::string password;
  std::vector<std::string> candidates;
};

constexpr std::size_t kMaxCandidates = 16;

class IceSession {
 public:
  struct Events {
    std::function<void(const IceDescription& local)> gathered;
    // The library's side: the checks ended, ok with a pair chosen, or not.
    // The agent's side: its checks run, and it answers where the peer's
    // datagrams come from (ok is true).
    std::function<void(bool ok)> checked;
    // A datagram from the peer that is not part of ICE itself.
    std::function<void(const uint8_t* data, std::size_t length)> datagram;
  };

  // turn may be empty (no address): host candidates only. Gathering starts at
  // once and ends with gathered, within a bounded time.
  IceSession(bool controlling, const TurnServer& turn, Events events);
  ~IceSession();
  IceSession(const IceSession&) = delete;
  IceSession& operator=(const IceSession&) = delete;

  // 0 when the session could gather; -1 with why.
  int Start(std::string& why);
  // Takes the peer's description and starts the checks; -1 with why.
  int Check(const IceDescription& remote, std::string& why);
  // Sends a datagram on the chosen pair; -1 when there is none yet.
  int Send(const uint8_t* data, std::size_t length);
  // The path the chosen pair gives (TURN when either end is a relayed
  // candidate); on the agent's side, the path of the peer's latest datagram.
  TunnelPath Path() const;

 private:
  void OpenPermissions();

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zelmo

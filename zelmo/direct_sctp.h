// The streams of a direct path: one SCTP association whose packets travel as
// the datagrams of the chosen ICE pair. One peer connects and the other
// listens: ICE ends at slightly different times on the two sides, and starts
// that cross at such times left the two ends with different ideas of the
// association (it came up, then no message passed). Every message carries SCTP's authentication
// under a key both peers got through the cloud, so nobody on the way can put bytes into a stream.
// Messages are whole when they reach the owner. Everything here runs on the engine's thread
// (direct_engine.h).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

struct socket;

namespace zelmo {

constexpr std::size_t kStreamKeyBytes = 32;
using StreamKey = std::array<uint8_t, kStreamKeyBytes>;
// Stream numbers 1 to kMaxSctpStreams carry streams; 0 is the link's own.
constexpr uint16_t kMaxSctpStreams = 512;
// Largest message either side accepts.
constexpr std::size_t kMaxSctpMessage = 64 * 1024;
// The kind of a message the peer made longer than that: its stream is broken.
constexpr uint32_t kBrokenMessage = 0;

class SctpAssociation {
 public:
  struct Events {
    std::function<void(const uint8_t* data, std::size_t length)> packet;  // to the peer
    std::function<void()> up;
    std::function<void(uint16_t stream, uint32_t kind, std::string payload)> message;
    std::function<void()> writable;  // room again after a send was refused
    // The association ended or failed. Delete the association later, not
    // from within this call.
    std::function<void()> down;
  };

  // active: this side connects; the other side listens and accepts.
  SctpAssociation(bool active, const StreamKey& key, Events events);
  ~SctpAssociation();
  SctpAssociation(const SctpAssociation&) = delete;
  SctpAssociation& operator=(const SctpAssociation&) = delete;

  // Opens the socket and starts the association; -1 on failure.
  int Start();
  // A datagram from the peer.
  void Input(const uint8_t* data, std::size_t length);
  // 0 sent, 1 no room now (writable follows), -1 failed.
  int Send(uint16_t stream, uint32_t kind, const void* data, std::size_t length);

 private:
  friend struct SctpCallbacks;
  void OnData(uint16_t stream, uint32_t kind, const uint8_t* data, std::size_t length, bool whole);
  void OnNotification(const void* data, std::size_t length);
  void TakeAccepted();
  void SetPathMtu(struct socket* socket);

  bool active_;
  StreamKey key_;
  Events events_;
  struct socket* socket_ = nullptr;    // connects, or listens
  struct socket* accepted_ = nullptr;  // the listening side's association
  struct socket* connection() const {
    return active_ ? socket_ : accepted_;
  }
  std::map<uint16_t, std::string> partial_;  // messages still arriving, by stream
  bool up_ = false;
  bool down_ = false;
  bool refused_ = false;
};

}  // namespace zelmo

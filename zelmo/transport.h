// How a tunnel carries its streams. The tunnel and its port rules only hand
// accepted local connections to a transport; the relay through the cloud is one
// transport, and a direct path between the peers can sit beside it later
// without touching the rest. All calls happen on the client's I/O thread.
#pragma once
#include <asio.hpp>
#include <memory>
#include <string>

#include "zelmo/tunnel_path.h"

namespace zelmo {

class Transport {
 public:
  virtual ~Transport() = default;

  // Carries one accepted local connection to the device service named service
  // (a name from kServiceNames) until either side ends it. The transport keeps
  // stream for exactly as long as the stream lives, carried or not: whoever
  // handed it over learns from its release that the stream is gone.
  virtual void Carry(asio::ip::tcp::socket local, const std::string& service,
                     std::shared_ptr<void> stream) = 0;

  // Ends every stream; connections handed over later are closed at once.
  virtual void Close() = 0;

  // The path that streams carried from now on take.
  virtual TunnelPath path() const = 0;
};

}  // namespace zelmo

// Blocking loopback client helpers shared by the benchmark drivers, on the
// platform socket layer: connect, send all, receive into a buffer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/net.h"

namespace bench {

// A connected socket to 127.0.0.1:port, or kInvalidSocket.
platform::Socket ConnectLoopback(uint16_t port);
// 0 when every byte went out, -1 otherwise.
int SendAll(platform::Socket s, const void* data, size_t size);
// Reads until a line feed has arrived (the line is dropped); 0, or -1 when the
// peer ended first.
int SkipLine(platform::Socket s);
// Reads exactly size bytes; 0, or -1 when the peer ended first.
int ReceiveExactly(platform::Socket s, void* data, size_t size);

}  // namespace bench

// Line-at-a-time talk with the relay, for the device cloud's tests: each call
// runs the test's own io_context for as long as it needs and no longer.
#pragma once
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <string>

#include "zelmo/wire.h"

namespace devcloud_testing {

// Connects socket to the relay on loopback and sends line; false when either fails.
inline bool SayHello(asio::ip::tcp::socket& socket, uint16_t port, const std::string& line) {
  std::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), port}, ec);
  if (!ec)
    asio::write(socket, asio::buffer(line), ec);
  return !ec;
}

// One line from socket within 5 seconds; "EOF" when it closed, "" on time-out.
// inbox keeps what came after the line for the next call.
inline std::string ReadLineWithin(asio::io_context& io, asio::ip::tcp::socket& socket,
                                  std::string& inbox) {
  std::string line;
  if (zelmo::TakeLine(inbox, line))
    return line;
  std::string result;
  asio::async_read_until(socket, asio::dynamic_buffer(inbox), '\n',
                         [&](std::error_code ec, std::size_t) {
                           if (ec)
                             result = "EOF";
                           else
                             zelmo::TakeLine(inbox, result);
                         });
  io.restart();
  io.run_for(std::chrono::seconds(5));
  if (!io.stopped())
    socket.cancel();
  io.run();
  return result;
}

}  // namespace devcloud_testing

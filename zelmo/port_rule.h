// A port rule: a listener on a local address whose accepted connections the
// tunnel's transport carries to one device service. The listener is opened on
// the caller's thread, so the caller learns at once whether the port can be
// used; accepting then runs on the client's I/O thread.
#pragma once
#include <asio.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "zelmo/transport.h"

namespace zelmo {

// Opens a listening acceptor on address:port. 0, or -1 when the port cannot be
// used (in use, not allowed); why says which.
int OpenListener(asio::ip::tcp::acceptor& acceptor, const asio::ip::address& address, uint16_t port,
                 std::string& why);

// Streams one rule carries at once; a connection past them is closed at once,
// so a flood of idle connections cannot take every descriptor of the process.
constexpr size_t kMaxRuleStreams = 256;

class PortRule {
 public:
  PortRule(asio::ip::tcp::acceptor acceptor, std::string service, Transport& transport);

  // Both on the I/O thread.
  void Start();
  void Close();

 private:
  void Accept();
  void AcceptLater();

  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer pause_;
  std::string service_;
  Transport& transport_;
  // Streams alive, counted by the tokens handed to the transport. Only the
  // I/O thread touches it; shared, as a token may outlive the rule.
  std::shared_ptr<int> streams_ = std::make_shared<int>(0);
};

}  // namespace zelmo

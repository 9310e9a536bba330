// Port rule listener (see port_rule.h).
#include "zelmo/port_rule.h"

#include <chrono>

#include "zelmo/log.h"

namespace zelmo {

int OpenListener(asio::ip::tcp::acceptor& acceptor, const asio::ip::address& address, uint16_t port,
                 std::string& why) {
  asio::ip::tcp::endpoint endpoint(address, port);
  std::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  // Lets the port be taken again while connections of an earlier rule linger in
  // TIME_WAIT; a port that another socket listens on still fails to bind.
  if (!ec)
    acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec)
    acceptor.bind(endpoint, ec);
  if (!ec)
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec)
    return 0;
  why = ec.message();
  acceptor.close(ec);
  return -1;
}

PortRule::PortRule(asio::ip::tcp::acceptor acceptor, std::string service, Transport& transport)
    : acceptor_(std::move(acceptor)),
      pause_(acceptor_.get_executor()),
      service_(std::move(service)),
      transport_(transport) {}

void PortRule::Start() {
  Accept();
}

void PortRule::Close() {
  std::error_code ignored;
  pause_.cancel();
  acceptor_.close(ignored);
}

void PortRule::Accept() {
  acceptor_.async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open())
      return;
    if (ec)
      return AcceptLater();
    std::error_code ignored;
    if (static_cast<size_t>(*streams_) >= kMaxRuleStreams) {
      Log(kLogDetail, "Zelmo: %s connection refused: %zu streams already", service_.c_str(),
          kMaxRuleStreams);
      socket.close(ignored);
      return Accept();
    }
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    Log(kLogTrace, "Zelmo: %s connection accepted", service_.c_str());
    ++*streams_;
    std::shared_ptr<void> stream(nullptr, [streams = streams_](void*) { --*streams; });
    transport_.Carry(std::move(socket), service_, std::move(stream));
    Accept();
  });
}

// A failed accept (out of descriptors, for one) is retried after a pause rather
// than in a tight loop.
void PortRule::AcceptLater() {
  Log(kLogDetail, "Zelmo: accept on a %s rule failed; retrying", service_.c_str());
  pause_.expires_after(std::chrono::milliseconds(100));
  pause_.async_wait([this](std::error_code ec) {
    if (!ec && acceptor_.is_open())
      Accept();
  });
}

}  // namespace zelmo

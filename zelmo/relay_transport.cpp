// Relay transport (see relay_transport.h). A stream is "opening" from the accept
// until its relay connection has sent its header line, then a Pipe carries it.
#include "zelmo/relay_transport.h"

#include <algorithm>

#include "zelmo/log.h"
#include "zelmo/wire.h"

namespace zelmo {

struct RelayTransport::Opening {
  Opening(asio::ip::tcp::socket l, asio::io_context& io) : local(std::move(l)), relay(io) {}
  asio::ip::tcp::socket local;
  asio::ip::tcp::socket relay;
  std::string header;
  std::shared_ptr<void> stream;
};

RelayTransport::RelayTransport(asio::io_context& io, asio::ip::tcp::endpoint relay,
                               std::string stream_key, std::atomic<int64_t>* counter)
    : io_(io), relay_(relay), stream_key_(std::move(stream_key)), counter_(counter) {
  OpenSpare();
}

RelayTransport::~RelayTransport() {
  Close();
}

void RelayTransport::Carry(asio::ip::tcp::socket local, const std::string& service,
                           std::shared_ptr<void> stream) {
  if (closed_)
    return;  // the socket closes as it goes out of scope
  if (CarryOnSpare(local, service, stream) == 0)
    return;
  OpenSpare();  // the last one failed: try again for the next stream
  auto opening = std::make_shared<Opening>(std::move(local), io_);
  opening->header = MakeLine({kHelloStream, stream_key_, service});
  opening->stream = std::move(stream);
  openings_.push_back(opening);
  opening->relay.async_connect(relay_, [this, opening](std::error_code ec) {
    if (ec) {
      Log(kLogDetail, "Zelmo: relay connection for a stream failed: %s", ec.message().c_str());
      return Forget(opening);
    }
    std::error_code ignored;
    opening->relay.set_option(asio::ip::tcp::no_delay(true), ignored);
    asio::async_write(opening->relay, asio::buffer(opening->header),
                      [this, opening](std::error_code ec2, std::size_t) {
                        Forget(opening);
                        if (!ec2 && !closed_)
                          Join(std::move(opening->local), std::move(opening->relay),
                               std::move(opening->stream));
                      });
  });
}

// 0 when the ready connection took the stream; then the next one is opened.
int RelayTransport::CarryOnSpare(asio::ip::tcp::socket& local, const std::string& service,
                                 const std::shared_ptr<void>& stream) {
  if (!spare_)
    return -1;
  std::shared_ptr<asio::ip::tcp::socket> spare = std::move(spare_);
  const std::string line = MakeLine({kCommandUse, service});
  std::error_code ec;
  asio::write(*spare, asio::buffer(line), ec);  // nothing was sent on it yet: does not wait
  if (ec)
    return -1;
  Join(std::move(local), std::move(*spare), stream);
  OpenSpare();
  return 0;
}

void RelayTransport::OpenSpare() {
  if (closed_ || spare_ || spare_opening_)
    return;
  auto socket = std::make_shared<asio::ip::tcp::socket>(io_);
  spare_opening_ = socket;
  auto hello = std::make_shared<std::string>(MakeLine({kHelloReady, stream_key_}));
  socket->async_connect(relay_, [this, socket, hello](std::error_code ec) {
    if (ec)
      return OnSpareAnswer(socket, ec);
    std::error_code ignored;
    socket->set_option(asio::ip::tcp::no_delay(true), ignored);
    asio::async_write(
        *socket, asio::buffer(*hello), [this, socket, hello](std::error_code ec2, std::size_t) {
          if (ec2)
            return OnSpareAnswer(socket, ec2);
          // Exactly the answer: nothing else comes before "USE".
          spare_answer_.assign(MakeLine({kReplyOk}).size(), '\0');
          asio::async_read(
              *socket, asio::buffer(spare_answer_),
              [this, socket](std::error_code ec3, std::size_t) { OnSpareAnswer(socket, ec3); });
        });
  });
}

// Only a connection the relay answered is used: one it refused would lose the
// stream handed to it. A failed one is tried again with the next stream.
void RelayTransport::OnSpareAnswer(const std::shared_ptr<asio::ip::tcp::socket>& socket,
                                   std::error_code ec) {
  if (spare_opening_ == socket)
    spare_opening_.reset();
  if (!ec && !closed_ && spare_answer_ == MakeLine({kReplyOk})) {
    spare_ = socket;
    return;
  }
  if (!closed_)
    Log(kLogDetail, "Zelmo: no ready relay connection: %s",
        ec ? ec.message().c_str() : "unexpected answer");
  std::error_code ignored;
  socket->close(ignored);
}

void RelayTransport::Join(asio::ip::tcp::socket local, asio::ip::tcp::socket relay,
                          std::shared_ptr<void> stream) {
  pipes_.erase(std::remove_if(pipes_.begin(), pipes_.end(),
                              [](const std::weak_ptr<Pipe>& p) { return p.expired(); }),
               pipes_.end());
  Pipe::Hooks hooks;
  hooks.counter = counter_;
  // The pipe keeps the stream's token until it is destroyed itself.
  hooks.on_done = [stream = std::move(stream)] {};
  pipes_.push_back(Pipe::Start(std::move(local), std::move(relay), "", "", std::move(hooks)));
}

// Drops an opening; its sockets close when the last handler lets go of it.
void RelayTransport::Forget(const std::shared_ptr<Opening>& opening) {
  openings_.erase(std::remove(openings_.begin(), openings_.end(), opening), openings_.end());
}

void RelayTransport::Close() {
  closed_ = true;
  std::error_code ignored;
  for (auto& opening : openings_) {
    opening->local.close(ignored);
    opening->relay.close(ignored);
  }
  openings_.clear();
  for (auto* spare : {&spare_, &spare_opening_}) {
    if (*spare)
      (*spare)->close(ignored);
    spare->reset();
  }
  for (auto& weak : pipes_) {
    if (auto pipe = weak.lock())
      pipe->Close();
  }
  pipes_.clear();
}

}  // namespace zelmo

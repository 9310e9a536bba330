// Line link (see line_link.h).
#include "devcloud/line_link.h"

#include "zelmo/wire.h"

namespace devcloud {

LineLink::LineLink(asio::ip::tcp::socket socket, std::string inbox)
    : socket_(std::move(socket)), idle_(socket_.get_executor()), inbox_(std::move(inbox)) {}

void LineLink::Start(LineHandler on_line, EndHandler on_end) {
  on_line_ = std::move(on_line);
  on_end_ = std::move(on_end);
  Read();
}

void LineLink::Read() {
  auto self = shared_from_this();
  std::string line;
  while (!ended_ && zelmo::TakeLine(inbox_, line)) {
    if (on_line_)
      on_line_(line);
  }
  if (ended_)
    return;
  asio::async_read_until(socket_, asio::dynamic_buffer(inbox_, zelmo::kMaxLineLength), '\n',
                         [self](std::error_code ec, std::size_t) {
                           if (ec)
                             return self->End();
                           self->ArmIdleLimit();
                           self->Read();
                         });
}

void LineLink::SetIdleLimit(std::chrono::steady_clock::duration limit) {
  idle_limit_ = limit;
  ArmIdleLimit();
}

void LineLink::ArmIdleLimit() {
  if (ended_ || idle_limit_ == std::chrono::steady_clock::duration::zero()) {
    idle_.cancel();
    return;
  }
  idle_.expires_after(idle_limit_);
  std::weak_ptr<LineLink> weak = shared_from_this();
  idle_.async_wait([weak](std::error_code ec) {
    auto self = weak.lock();
    if (!ec && self)
      self->Close();
  });
}

void LineLink::Send(const std::string& line) {
  if (ended_ || close_after_write_)
    return;
  if (outbox_.size() >= kQueueLimit)
    return Close();
  outbox_.push_back(line);
  if (!writing_)
    WriteNext();
}

void LineLink::SendAndClose(const std::string& line) {
  Send(line);
  close_after_write_ = true;
  if (!writing_)
    Close();
}

void LineLink::WriteNext() {
  if (outbox_.empty()) {
    writing_ = false;
    if (close_after_write_)
      Close();
    return;
  }
  writing_ = true;
  auto self = shared_from_this();
  asio::async_write(socket_, asio::buffer(outbox_.front()),
                    [self](std::error_code ec, std::size_t) {
                      if (ec)
                        return self->Close();
                      self->outbox_.pop_front();
                      self->WriteNext();
                    });
}

void LineLink::Close() {
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  End();
}

void LineLink::End() {
  if (ended_)
    return;
  ended_ = true;
  idle_.cancel();
  if (on_end_) {
    EndHandler done = std::move(on_end_);
    on_end_ = nullptr;
    done();
  }
}

}  // namespace devcloud

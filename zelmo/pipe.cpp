// Pipe (see pipe.h). Direction d carries bytes read from sockets_[d] to
// sockets_[1 - d] through buffers_[d].
#include "zelmo/pipe.h"

namespace zelmo {

Pipe::Pipe(asio::ip::tcp::socket a, asio::ip::tcp::socket b, Hooks hooks)
    : sockets_{std::move(a), std::move(b)}, hooks_(std::move(hooks)) {
  buffers_[0].reset(new char[kPipeBufferSize]);
  buffers_[1].reset(new char[kPipeBufferSize]);
}

std::shared_ptr<Pipe> Pipe::Start(asio::ip::tcp::socket a, asio::ip::tcp::socket b,
                                  std::string first_to_b, std::string first_to_a, Hooks hooks) {
  auto pipe = std::make_shared<Pipe>(std::move(a), std::move(b), std::move(hooks));
  pipe->WriteFirst(0, std::move(first_to_b));
  pipe->WriteFirst(1, std::move(first_to_a));
  return pipe;
}

void Pipe::WriteFirst(int from, std::string bytes) {
  if (bytes.empty()) {
    Read(from);
    return;
  }
  first_[from] = std::move(bytes);
  auto self = shared_from_this();
  asio::async_write(sockets_[1 - from], asio::buffer(first_[from]),
                    [self, from](std::error_code ec, std::size_t n) {
                      if (ec)
                        return self->EndDirection(from, false);
                      self->Count(from, n);
                      self->first_[from].clear();
                      self->Read(from);
                    });
}

void Pipe::Read(int from) {
  auto self = shared_from_this();
  sockets_[from].async_read_some(asio::buffer(buffers_[from].get(), kPipeBufferSize),
                                 [self, from](std::error_code ec, std::size_t n) {
                                   if (ec)
                                     return self->EndDirection(from, ec == asio::error::eof);
                                   self->Write(from, n);
                                 });
}

void Pipe::Write(int from, std::size_t n) {
  auto self = shared_from_this();
  asio::async_write(sockets_[1 - from], asio::buffer(buffers_[from].get(), n),
                    [self, from](std::error_code ec, std::size_t written) {
                      if (ec)
                        return self->EndDirection(from, false);
                      self->Count(from, written);
                      self->Read(from);
                    });
}

void Pipe::Count(int from, std::size_t n) {
  if (hooks_.counter)
    hooks_.counter->fetch_add(static_cast<int64_t>(n));
  const auto& direction = from == 0 ? hooks_.to_b : hooks_.to_a;
  if (direction)
    direction->fetch_add(static_cast<int64_t>(n));
}

// An orderly end passes on as a half-close so the other direction can finish
// (a request sent, then its answer read); anything else tears both sides down.
void Pipe::EndDirection(int from, bool orderly) {
  std::error_code ignored;
  if (orderly && !closed_) {
    sockets_[1 - from].shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  } else {
    Close();
  }
  if (++directions_done_ < 2)
    return;
  Close();
  if (hooks_.on_done) {
    auto done = std::move(hooks_.on_done);
    hooks_.on_done = nullptr;
    done();
  }
}

void Pipe::Close() {
  if (closed_)
    return;
  closed_ = true;
  std::error_code ignored;
  for (auto& socket : sockets_) {
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }
}

}  // namespace zelmo

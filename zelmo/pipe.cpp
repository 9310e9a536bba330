// Pipe (see pipe.h). Direction d carries bytes read from sockets_[d] to
// sockets_[1 - d], through directions_[d]'s kernel pipe or buffer.
//
// The kernel pipe is driven by readiness: move from the source into the pipe
// while it is empty, then from the pipe into the sink, and when a socket cannot
// go on, wait until it can (async_wait) and try again. A move fails as
// unsupported, if ever, on its first use; the direction then goes over to
// copying, and whatever already sat in the kernel pipe goes out first. An
// orderly end is only seen while the kernel pipe is empty, so the half-close
// never overtakes bytes.
//
// A move into the pipe stops at urgent data and never passes it: there it
// yields nothing although the source is readable, or reads as the end once the
// source has ended too. So when the source stands at urgent data the direction
// goes over to copying, which reads past it as the pipe always did; waiting
// again would spin, and taking the stop for the end would lose the rest.
#include "zelmo/pipe.h"

#include "platform/splice.h"

namespace zelmo {

namespace {

// One move into the kernel pipe takes at most this much, and the pipe is asked
// to hold as much: a direction that goes over to copying then finds no more in
// it than its buffer takes.
constexpr int kKernelPipeBytes = static_cast<int>(kPipeBufferSize);

platform::Socket Handle(asio::ip::tcp::socket& socket) {
  return static_cast<platform::Socket>(socket.native_handle());
}

}  // namespace

void Pipe::KernelPipeCloser::operator()(platform::SplicePipe* pipe) const {
  platform::SplicePipeClose(pipe);
}

Pipe::Pipe(asio::ip::tcp::socket a, asio::ip::tcp::socket b, Hooks hooks)
    : sockets_{std::move(a), std::move(b)}, hooks_(std::move(hooks)) {}

std::shared_ptr<Pipe> Pipe::Start(asio::ip::tcp::socket a, asio::ip::tcp::socket b,
                                  std::string first_to_b, std::string first_to_a, Hooks hooks) {
  auto pipe = std::make_shared<Pipe>(std::move(a), std::move(b), std::move(hooks));
  pipe->WriteFirst(0, std::move(first_to_b));
  pipe->WriteFirst(1, std::move(first_to_a));
  return pipe;
}

void Pipe::WriteFirst(int from, std::string bytes) {
  if (bytes.empty())
    return Begin(from);
  directions_[from].first = std::move(bytes);
  auto self = shared_from_this();
  asio::async_write(sockets_[1 - from], asio::buffer(directions_[from].first),
                    [self, from](std::error_code ec, std::size_t n) {
                      if (ec)
                        return self->EndDirection(from, false);
                      self->Count(from, n);
                      self->directions_[from].first.clear();
                      self->Begin(from);
                    });
}

void Pipe::Begin(int from) {
  if (!closed_ && OpenKernelPipe(from))
    return Pump(from, false);
  Read(from);
}

// Without a kernel pipe (none on this system, or out of descriptors) the
// direction copies; that is no failure of the stream, so nothing is logged.
bool Pipe::OpenKernelPipe(int from) {
  Direction& d = directions_[from];
  d.kernel_pipe.reset(platform::SplicePipeOpen(kKernelPipeBytes));
  if (!d.kernel_pipe)
    return false;
  std::error_code ec;
  for (auto& socket : sockets_) {
    socket.native_non_blocking(true, ec);
    if (ec) {
      d.kernel_pipe.reset();
      return false;
    }
  }
  return true;
}

// Moves bytes until a socket has to be waited for, or this turn moved its
// share; then the rest waits behind the other handlers. readable: the source
// has just been reported readable.
void Pipe::Pump(int from, bool readable) {
  if (closed_)
    return EndDirection(from, false);
  Direction& d = directions_[from];
  const platform::Socket source = Handle(sockets_[from]);
  const platform::Socket sink = Handle(sockets_[1 - from]);
  std::size_t moved = 0;
  while (moved < kPipeBytesPerTurn) {
    if (d.in_kernel == 0) {
      int n = platform::SpliceFromSocket(source, d.kernel_pipe.get(), kKernelPipeBytes);
      if (n <= 0)
        return OnSourceStopped(from, n == 0 ? 0 : platform::LastSocketError(), readable);
      d.spliced_in = true;
      d.in_kernel = static_cast<std::size_t>(n);
      readable = false;
    }
    int n = platform::SpliceToSocket(d.kernel_pipe.get(), sink, static_cast<int>(d.in_kernel));
    if (n < 0)
      return OnSinkStopped(from, platform::LastSocketError());
    d.spliced_out = true;
    d.in_kernel -= static_cast<std::size_t>(n);
    moved += static_cast<std::size_t>(n);
    Count(from, static_cast<std::size_t>(n));
  }
  asio::post(sockets_[from].get_executor(),
             [self = shared_from_this(), from] { self->Pump(from, false); });
}

// The move into the kernel pipe took nothing: error is 0 at the end, else why.
void Pipe::OnSourceStopped(int from, int error, bool readable) {
  const bool would_block = platform::IsWouldBlockError(error);
  if ((error == 0 || (would_block && readable)) &&
      platform::SocketAtUrgentMark(Handle(sockets_[from])) == 1)
    return GoOverToCopy(from);
  if (error == 0)
    return EndDirection(from, true);
  if (would_block)
    return Await(from, asio::socket_base::wait_read);
  if (!directions_[from].spliced_in && platform::IsSpliceUnsupportedError(error))
    return GoOverToCopy(from);
  EndDirection(from, false);
}

void Pipe::OnSinkStopped(int from, int error) {
  if (platform::IsWouldBlockError(error))
    return Await(from, asio::socket_base::wait_write);
  if (!directions_[from].spliced_out && platform::IsSpliceUnsupportedError(error))
    return GoOverToCopy(from);
  EndDirection(from, false);
}

// Waits until the source can be read or the sink written, then moves on.
void Pipe::Await(int from, asio::socket_base::wait_type wait) {
  const bool read = wait == asio::socket_base::wait_read;
  sockets_[read ? from : 1 - from].async_wait(
      wait, [self = shared_from_this(), from, read](std::error_code ec) {
        if (ec)
          return self->EndDirection(from, false);
        self->Pump(from, read);
      });
}

void Pipe::GoOverToCopy(int from) {
  Direction& d = directions_[from];
  const std::size_t waiting = d.in_kernel;
  if (waiting > 0 &&
      platform::SplicePipeRead(d.kernel_pipe.get(), Buffer(from), static_cast<int>(waiting)) !=
          static_cast<int>(waiting))
    return EndDirection(from, false);
  d.kernel_pipe.reset();
  d.in_kernel = 0;
  if (waiting > 0)
    return Write(from, waiting);
  Read(from);
}

char* Pipe::Buffer(int from) {
  auto& buffer = directions_[from].buffer;
  if (!buffer)
    buffer.reset(new char[kPipeBufferSize]);
  return buffer.get();
}

void Pipe::Read(int from) {
  auto self = shared_from_this();
  sockets_[from].async_read_some(asio::buffer(Buffer(from), kPipeBufferSize),
                                 [self, from](std::error_code ec, std::size_t n) {
                                   if (ec)
                                     return self->EndDirection(from, ec == asio::error::eof);
                                   self->Write(from, n);
                                 });
}

void Pipe::Write(int from, std::size_t n) {
  auto self = shared_from_this();
  asio::async_write(sockets_[1 - from], asio::buffer(Buffer(from), n),
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
// The direction's kernel pipe is of no more use either way.
void Pipe::EndDirection(int from, bool orderly) {
  directions_[from].kernel_pipe.reset();
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

// HTTP server thread (see http_thread.h).
#include "devcloud/http_thread.h"

#include <chrono>

#include "platform/net.h"

namespace devcloud {

int HttpServerThread::Bind(const std::string& host, int port) {
  // The library's default options set SO_REUSEPORT, which lets a second cloud
  // bind a port already served and quietly take part of its requests.
  // SO_REUSEADDR alone only lets a restart reuse the port past connections
  // that linger after the last run.
  server_.set_socket_options([this](socket_t sock) {
    platform::SocketAllowRebind(static_cast<platform::Socket>(sock));
    listener_ = sock;
  });
  int bound = -1;
  if (port == 0)
    bound = server_.bind_to_any_port(host);
  else if (server_.bind_to_port(host, port))
    bound = port;
  // The library listens with a backlog of 5, but up to 64 gateway workers ask
  // the clock at once: connections past the queue would wait for a SYN
  // retransmission, a second or more. Listening again only sets the queue.
  if (bound >= 0)
    platform::SocketListen(listener_, platform::kMaxBacklog);
  return bound;
}

void HttpServerThread::Run() {
  finished_.store(false);
  thread_ = std::thread([this] {
    server_.listen_after_bind();
    finished_.store(true);
  });
}

void HttpServerThread::Stop() {
  if (!thread_.joinable())
    return;
  while (!server_.is_running() && !finished_.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_.stop();
  thread_.join();
}

}  // namespace devcloud

// HTTP server thread (see http_thread.h).
#include "devcloud/http_thread.h"

#include <chrono>

namespace devcloud {

int HttpServerThread::Bind(const std::string& host, int port) {
  if (port == 0)
    return server_.bind_to_any_port(host);
  return server_.bind_to_port(host, port) ? port : -1;
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

// Runs an HTTP server on a thread of its own. Binding comes first and apart, so
// the caller learns the port (or the failure) before anything is served; Stop
// waits until the server has really started before stopping it, because a stop
// that comes first would be lost and the thread would never end.
#pragma once
#include <httplib.h>

#include <atomic>
#include <string>
#include <thread>

namespace devcloud {

class HttpServerThread {
 public:
  explicit HttpServerThread(httplib::Server& server) : server_(server) {}
  ~HttpServerThread() { Stop(); }

  // Binds host:port (port 0: a free port); the port, or -1.
  int Bind(const std::string& host, int port);
  // Serves on a new thread; call once, after Bind succeeded.
  void Run();
  void Stop();

 private:
  httplib::Server& server_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  int listener_ = -1;  // the listening socket, once bound
};

}  // namespace devcloud

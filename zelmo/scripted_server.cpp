// Scripted loopback peer (see scripted_server.h).
#include "zelmo/scripted_server.h"

#include <chrono>
#include <future>

namespace zelmo_test {

using asio::ip::tcp;

ScriptedServer::ScriptedServer(Script script)
    : script_(std::move(script)), acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
  accepting_ = std::thread([this] { AcceptAll(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_.store(true);
  tcp::socket wake(io_);
  std::error_code ignored;
  wake.connect(acceptor_.local_endpoint(), ignored);
  accepting_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& socket : sockets_)
      socket->shutdown(tcp::socket::shutdown_both, ignored);
  }
  for (auto& thread : threads_)
    thread.join();
}

int ScriptedServer::CountHeads(const std::string& part) {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const std::string& head : heads_)
    count += head.find(part) != std::string::npos ? 1 : 0;
  return count;
}

bool ScriptedServer::WaitForHead(const std::string& part) {
  std::unique_lock<std::mutex> lock(mutex_);
  return seen_.wait_for(lock, std::chrono::seconds(20), [&] {
    for (const std::string& head : heads_) {
      if (head.find(part) != std::string::npos)
        return true;
    }
    return false;
  });
}

void ScriptedServer::Drip(ScriptedServer& server, tcp::socket& socket, const std::string& bytes) {
  for (std::size_t i = 0; !server.stopping(); i = (i + 1) % bytes.size()) {
    std::error_code ec;
    asio::write(socket, asio::buffer(&bytes[i], 1), ec);
    if (ec)
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void ScriptedServer::Drain(ScriptedServer& server, tcp::socket& socket) {
  char buffer[4096];
  std::error_code ec;
  while (!ec && !server.stopping())
    socket.read_some(asio::buffer(buffer), ec);
}

void ScriptedServer::AcceptAll() {
  for (;;) {
    auto socket = std::make_shared<tcp::socket>(io_);
    std::error_code ec;
    acceptor_.accept(*socket, ec);
    if (ec || stopping_.load())
      return;
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(socket);
    threads_.emplace_back([this, socket] { Serve(*socket); });
  }
}

void ScriptedServer::Serve(tcp::socket& socket) {
  std::string head;
  std::error_code ec;
  std::size_t n = asio::read_until(socket, asio::dynamic_buffer(head, 65536), "\n", ec);
  if (ec)
    return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    heads_.push_back(head.substr(0, n));
  }
  seen_.notify_all();
  script_(*this, socket, head.substr(0, n));
}

bool ReturnsInGoodTime(std::function<void()> call) {
  auto finished = std::make_shared<std::promise<void>>();
  std::future<void> done = finished->get_future();
  std::thread([call, finished] {
    call();
    finished->set_value();
  }).detach();
  return done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

std::string HttpOk(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace zelmo_test

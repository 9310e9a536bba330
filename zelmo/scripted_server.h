// Test support: a peer on loopback that behaves as a test scripts it, for the
// cloud and relay that misbehave on purpose. Every connection, with the first
// line of what the peer sent, goes to the script on a thread of its own;
// scripts end when their peer goes or when the server stops.
#pragma once
#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelmo_test {

class ScriptedServer {
 public:
  using Script =
      std::function<void(ScriptedServer&, asio::ip::tcp::socket&, const std::string& head)>;

  explicit ScriptedServer(Script script);
  ~ScriptedServer();

  uint16_t port() const { return acceptor_.local_endpoint().port(); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port()); }
  bool stopping() const { return stopping_.load(); }
  // Connections whose first line held part so far.
  int CountHeads(const std::string& part);
  // Waits until a first line holding part has come in; false after 20 seconds.
  bool WaitForHead(const std::string& part);

  // Sends bytes one at a time, a fifth of a second apart, over and over until
  // the peer or the server ends.
  static void Drip(ScriptedServer& server, asio::ip::tcp::socket& socket, const std::string& bytes);
  // Reads and drops what comes until the peer or the server ends.
  static void Drain(ScriptedServer& server, asio::ip::tcp::socket& socket);

 private:
  void AcceptAll();
  void Serve(asio::ip::tcp::socket& socket);

  Script script_;
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::atomic<bool> stopping_{false};
  std::thread accepting_;
  std::mutex mutex_;
  std::condition_variable seen_;
  std::vector<std::string> heads_;
  std::vector<std::shared_ptr<asio::ip::tcp::socket>> sockets_;
  std::vector<std::thread> threads_;
};

// Runs call on a thread of its own; false when it has not returned within 20
// seconds (a call that hangs is left behind: the test has failed anyway).
bool ReturnsInGoodTime(std::function<void()> call);

// An HTTP answer 200 with body and its length.
std::string HttpOk(const std::string& body);

}  // namespace zelmo_test

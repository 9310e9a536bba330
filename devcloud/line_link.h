// A connection that carries protocol lines both ways between the relay and a
// library or agent. Lines to send wait in a short queue; a peer that stops
// reading loses the link instead of growing the queue. Lines received go to a
// handler, and the end of the connection is reported once. A link may be given
// an idle limit: when no line arrives within it, the link is closed. All on one
// executor.
#pragma once
#include <asio.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace devcloud {

class LineLink : public std::enable_shared_from_this<LineLink> {
 public:
  using LineHandler = std::function<void(const std::string& line)>;
  using EndHandler = std::function<void()>;

  // inbox: bytes already read past the connection's first line.
  LineLink(asio::ip::tcp::socket socket, std::string inbox);

  void Start(LineHandler on_line, EndHandler on_end);
  void Send(const std::string& line);
  // Sends the line, then closes the link.
  void SendAndClose(const std::string& line);
  void Close();
  // Closes the link when no line arrives for limit, counted from now and from
  // each line; zero lifts the limit. Call after Start.
  void SetIdleLimit(std::chrono::steady_clock::duration limit);

 private:
  void Read();
  void ArmIdleLimit();
  void WriteNext();
  void End();

  static constexpr std::size_t kQueueLimit = 256;

  asio::ip::tcp::socket socket_;
  asio::steady_timer idle_;
  std::chrono::steady_clock::duration idle_limit_{};
  std::string inbox_;
  std::deque<std::string> outbox_;
  bool writing_ = false;
  bool close_after_write_ = false;
  bool ended_ = false;
  LineHandler on_line_;
  EndHandler on_end_;
};

}  // namespace devcloud

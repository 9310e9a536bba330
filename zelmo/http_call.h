// One HTTP/1.1 exchange with the cloud, bounded in time and in size. The whole
// call (connect, request, answer) ends within kCallDeadline, and an answer of
// more than kMaxAnswerSize bytes (head and body together) is refused, so a cloud
// that drips its answer or never ends it costs a few seconds and one buffer.
// A call can also be cut short from another thread (CallCanceller), which is how
// deleting a client ends the cloud calls it still has running.
//
// The lookup of the host's name is part of the call and ends within its deadline
// (host_lookup.h); an address given as digits is used as it is.
#pragma once
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "zelmo/server_address.h"

namespace asio {
class io_context;
}

namespace zelmo {

constexpr auto kCallDeadline = std::chrono::seconds(4);
constexpr std::size_t kMaxAnswerSize = 256 * 1024;

struct HttpRequest {
  std::string method;  // "GET" or "POST"
  std::string path;
  std::string authorization;  // the header's value; none when empty
  std::string json_body;      // sent with its length when the method is POST
};

struct HttpAnswer {
  int status = 0;
  std::string body;  // without the chunked coding, if any
};

// Ends the calls running under it at once, and every later one before it starts.
class CallCanceller {
 public:
  void Cancel();

 private:
  friend class CallRegistration;
  std::mutex mutex_;
  bool cancelled_ = false;
  std::vector<asio::io_context*> running_;
};

// 0, or -1 with why (a short text for a log line).
int HttpCall(const ServerAddress& server, const HttpRequest& request, HttpAnswer& answer,
             std::string& why, CallCanceller* canceller = nullptr);

enum class AnswerState { kIncomplete, kComplete, kMalformed };

// Reads an HTTP/1.1 answer out of the bytes received so far; at_end: the peer
// has ended its side. The body is framed by Content-Length, by the chunked
// coding, or else by the end of the connection.
AnswerState ParseHttpAnswer(const std::string& bytes, bool at_end, HttpAnswer& answer);

}  // namespace zelmo

// One accept thread serves the connections one after another: the clients under
// fuzz make one request at a time, and a request that is never completed is cut
// off by the read time-out instead of stalling the run.
#include "fuzz/loopback_answer.h"

#include <cctype>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/net.h"

namespace fuzz {
namespace {

constexpr size_t kRequestLimit = 64 * 1024;
constexpr int kReadTimeoutMs = 2000;

std::mutex answer_mutex;
std::string current_answer;

std::string Answer() {
  std::lock_guard<std::mutex> lock(answer_mutex);
  return current_answer;
}

// The Content-Length of a request head, 0 when it has none.
size_t BodyLength(const std::string& head) {
  std::string lower = head;
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos)
    return 0;
  return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

// Reads the request head and its body (up to the limit, the peer's end or a
// pause), so that closing afterwards leaves nothing unread, which would turn
// the close into a reset.
void ReadRequest(platform::Socket s) {
  std::string request;
  char buf[4096];
  for (;;) {
    size_t head_end = request.find("\r\n\r\n");
    if (head_end != std::string::npos &&
        request.size() >= head_end + 4 + BodyLength(request.substr(0, head_end + 2)))
      return;
    if (request.size() >= kRequestLimit || platform::WaitReadable(s, kReadTimeoutMs) != 1)
      return;
    int n = platform::SocketRecv(s, buf, sizeof buf);
    if (n <= 0)
      return;
    request.append(buf, static_cast<size_t>(n));
  }
}

void SendAll(platform::Socket s, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    int n = platform::SocketSend(s, bytes.data() + done, static_cast<int>(bytes.size() - done));
    if (n <= 0)
      return;
    done += static_cast<size_t>(n);
  }
}

void Serve(platform::Socket listener) {
  for (;;) {
    platform::Socket s = platform::SocketAccept(listener);
    if (s == platform::kInvalidSocket)
      continue;
    ReadRequest(s);
    SendAll(s, Answer());
    platform::SocketClose(s);
  }
}

}  // namespace

uint16_t StartAnswerServer() {
  platform::NetStartup();
  platform::Socket listener = platform::TcpSocket();
  if (listener == platform::kInvalidSocket)
    return 0;
  if (platform::SocketBind(listener, "127.0.0.1", 0) != 0 ||
      platform::SocketListen(listener, 16) != 0) {
    platform::SocketClose(listener);
    return 0;
  }
  uint16_t port = platform::SocketLocalPort(listener);
  std::thread(Serve, listener).detach();
  return port;
}

void SetAnswer(const std::string& answer) {
  std::lock_guard<std::mutex> lock(answer_mutex);
  current_answer = answer;
}

}  // namespace fuzz

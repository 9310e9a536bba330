// The device cloud as anyone on the network meets it: a whole devcloud runs in
// this process (demo account, built-in agents, relay and HTTP side on free
// loopback ports), and each input is a short script of connections to it. The
// input is cut at 0xFF bytes into up to four pieces; a piece whose first byte
// is odd goes to the HTTP side, else to the relay, and the rest of it is sent as
// is, with "@T" replaced by the demo account's token, "@K" by the stream key of
// the latest tunnel opened, and "@S" by a serial of the account, so the fuzzer
// can reach the relay's deeper states (tunnels, streams, agent links). Every
// connection stays open until the script's end, so streams get joined. Every
// 64 inputs the cloud must still answer an HTTP request (the clock's status
// may have been changed by the admin endpoint, so any status counts).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devcloud/cloud.h"
#include "fuzz/fuzz_check.h"
#include "platform/net.h"
#include "zelmo/cloud_api.h"

namespace {

constexpr int kMaxPieces = 4;
constexpr int kKeyWaitMs = 300;
constexpr int kSettleMs = 5;
constexpr size_t kMaxReceive = 64 * 1024;

devcloud::Cloud* cloud = nullptr;
std::string token;
std::string stream_key;
unsigned inputs_run = 0;

void Replace(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

platform::Socket Connect(uint16_t port) {
  platform::Socket s = platform::TcpSocket();
  FUZZ_CHECK(s != platform::kInvalidSocket);
  FUZZ_CHECK(platform::SocketConnect(s, "127.0.0.1", port) == 0);
  return s;
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

// What the peer sends within wait_ms (stops early at a line feed when asked),
// at most kMaxReceive bytes: a media stream never pauses.
std::string Receive(platform::Socket s, int wait_ms, bool one_line) {
  std::string got;
  char buf[4096];
  while (got.size() < kMaxReceive && platform::WaitReadable(s, wait_ms) == 1) {
    int n = platform::SocketRecv(s, buf, sizeof buf);
    if (n <= 0)
      break;
    got.append(buf, static_cast<size_t>(n));
    if (one_line && got.find('\n') != std::string::npos)
      break;
  }
  return got;
}

// "OK <tunnel id> <stream key>" gives the key that later pieces may use.
void NoteStreamKey(const std::string& reply) {
  if (reply.compare(0, 3, "OK ") != 0)
    return;
  size_t key = reply.find(' ', 3);
  size_t end = reply.find('\n');
  if (key != std::string::npos && end != std::string::npos && key < end)
    stream_key = reply.substr(key + 1, end - key - 1);
}

bool CloudAnswers() {
  platform::Socket s = Connect(cloud->http_port());
  SendAll(s, "GET /getime HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  std::string reply = Receive(s, 5000, false);
  platform::SocketClose(s);
  return reply.compare(0, 9, "HTTP/1.1 ") == 0;
}

std::vector<std::string> Pieces(const uint8_t* data, size_t size) {
  std::vector<std::string> pieces;
  const char* text = reinterpret_cast<const char*>(data);
  size_t start = 0;
  while (start < size && static_cast<int>(pieces.size()) < kMaxPieces) {
    const void* cut = std::memchr(text + start, 0xFF, size - start);
    size_t end = cut != nullptr ? static_cast<const char*>(cut) - text : size;
    pieces.emplace_back(text + start, end - start);
    start = end + 1;
  }
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::NetStartup();
  devcloud::CloudOptions options;
  options.listen_port = 0;
  options.config = devcloud::DemoConfig();
  cloud = new devcloud::Cloud(nullptr);
  std::string why;
  FUZZ_CHECK(cloud->Start(options, why) == 0);
  zelmo::ServerAddress server{"127.0.0.1", cloud->http_port()};
  zelmo::CloudSession session;
  FUZZ_CHECK(zelmo::SignIn(server, "demo", "demo", session, why) == 0);
  token = session.token;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> pieces = Pieces(data, size);
  std::vector<platform::Socket> open;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].empty())
      continue;
    bool http = (pieces[i][0] & 1) != 0;
    std::string bytes = pieces[i].substr(1);
    Replace(bytes, "@T", token);
    Replace(bytes, "@K", stream_key);
    Replace(bytes, "@S", "DEMO-0001");
    platform::Socket s = Connect(http ? cloud->http_port() : cloud->relay_port());
    SendAll(s, bytes);
    open.push_back(s);
    if (!http && bytes.compare(0, 7, "TUNNEL ") == 0 && bytes.find('\n') != std::string::npos)
      NoteStreamKey(Receive(s, kKeyWaitMs, true));
  }
  for (platform::Socket s : open)
    Receive(s, kSettleMs, false);
  for (platform::Socket s : open)
    platform::SocketClose(s);
  if (++inputs_run % 64 == 0)
    FUZZ_CHECK(CloudAnswers());
  return 0;
}

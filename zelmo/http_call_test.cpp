// The library's calls to the cloud against a cloud that misbehaves on purpose:
// answers framed every way HTTP allows, an answer dripped a byte at a time, an
// answer without end, and a device list dripped while a tunnel comes up.
#include "zelmo/http_call.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "zelmo/zelmo_api.h"
#include "zelmo/scripted_server.h"

namespace {

using asio::ip::tcp;
using zelmo::AnswerState;
using zelmo_test::ReturnsInGoodTime;
using zelmo_test::ScriptedServer;

std::mutex log_mutex;
std::vector<std::string> log_lines;

void CollectLine(int level, const char* text) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_lines.push_back(std::to_string(level) + " " + text);
}

bool Logged(const std::string& part) {
  std::lock_guard<std::mutex> lock(log_mutex);
  for (const std::string& line : log_lines) {
    if (line.find(part) != std::string::npos)
      return true;
  }
  return false;
}

// Waits up to 10 seconds for a log line holding part.
bool WaitForLog(const std::string& part) {
  for (int i = 0; i < 500; ++i) {
    if (Logged(part))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class HttpCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Zelmo_SetLogFunc(CollectLine);
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines.clear();
  }
};

TEST_F(HttpCallTest, AnswersAreFramedByLengthByChunksOrByTheEnd) {
  struct Case {
    std::string bytes;
    bool at_end;
    AnswerState state;
    std::string body;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbodyEXTRA", false, AnswerState::kComplete,
       "body"},
      {"HTTP/1.1 200 OK\r\ncontent-length:  4 \r\n\r\nbo", false, AnswerState::kIncomplete, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbo", true, AnswerState::kMalformed, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
       false, AnswerState::kComplete, "abcde"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", false,
       AnswerState::kIncomplete, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n", false,
       AnswerState::kMalformed, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false,
       AnswerState::kMalformed, ""},
      {"HTTP/1.0 403 Forbidden\r\n\r\n{\"error\":1}", false, AnswerState::kIncomplete, ""},
      {"HTTP/1.0 403 Forbidden\r\n\r\n{\"error\":1}", true, AnswerState::kComplete,
       "{\"error\":1}"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", false,
       AnswerState::kMalformed, ""},
      {"HTTP/1.1 2000 OK\r\n\r\n", true, AnswerState::kMalformed, ""},
      {"SSH-2.0-OpenSSH\r\n", true, AnswerState::kMalformed, ""},
      {"HTTP/1.1 200 OK\r\nNo colon here\r\n\r\n", true, AnswerState::kMalformed, ""},
  };
  for (const Case& c : cases) {
    zelmo::HttpAnswer answer;
    EXPECT_EQ(zelmo::ParseHttpAnswer(c.bytes, c.at_end, answer), c.state) << c.bytes;
    if (c.state == AnswerState::kComplete) {
      EXPECT_EQ(answer.body, c.body) << c.bytes;
    }
  }
}

// 64 of these once held every worker of the gateway for good.
TEST_F(HttpCallTest, DrippedSignInEndsAtTheDeadline) {
  ScriptedServer cloud([](ScriptedServer& server, tcp::socket& socket, const std::string&) {
    ScriptedServer::Drip(server, socket, "HTTP/1.1 200 OK\r\nX-Slow: yes\r\n");
  });
  std::string url = cloud.url();
  void* client = reinterpret_cast<void*>(1);
  EXPECT_TRUE(
      ReturnsInGoodTime([&] { client = Zelmo_CreateClientV3("alice", "secret", url.c_str()); }));
  EXPECT_EQ(client, nullptr);
  EXPECT_TRUE(Logged("cloud unreachable: no answer within 4 seconds"));
}

TEST_F(HttpCallTest, AnswerWithoutEndIsCutAtTheCap) {
  ScriptedServer cloud([](ScriptedServer& server, tcp::socket& socket, const std::string&) {
    std::error_code ec;
    asio::write(socket, asio::buffer(std::string("HTTP/1.1 200 OK\r\n\r\n")), ec);
    const std::string block(65536, '[');
    while (!ec && !server.stopping())
      asio::write(socket, asio::buffer(block), ec);
  });
  std::string url = cloud.url();
  void* client = reinterpret_cast<void*>(1);
  EXPECT_TRUE(
      ReturnsInGoodTime([&] { client = Zelmo_CreateClientV3("alice", "secret", url.c_str()); }));
  EXPECT_EQ(client, nullptr);
  EXPECT_TRUE(Logged("answer larger than 262144 bytes"));
}

// The device list that a tunnel needs before it is reported up drips: the
// client's own thread is not held by it (it still takes requests), and
// deleting the client (the reaper) ends the call instead of waiting for it.
TEST_F(HttpCallTest, DeleteReturnsWhileTheDeviceListDrips) {
  ScriptedServer relay([](ScriptedServer& server, tcp::socket& socket, const std::string& head) {
    if (head.rfind("TUNNEL ", 0) == 0)
      asio::write(socket, asio::buffer(std::string("OK tn-drip key-1\n")));
    ScriptedServer::Drain(server, socket);
  });
  const uint16_t relay_port = relay.port();
  ScriptedServer cloud(
      [relay_port](ScriptedServer& server, tcp::socket& socket, const std::string& head) {
        if (head.rfind("POST ", 0) == 0) {
          std::string answer = zelmo_test::HttpOk(
              "{\"token\":\"tok\",\"relay_port\":" + std::to_string(relay_port) + "}");
          asio::write(socket, asio::buffer(answer));
          return;
        }
        ScriptedServer::Drip(server, socket, zelmo_test::HttpOk("{\"devices\":[]}"));
      });
  std::string url = cloud.url();
  void* client = Zelmo_CreateClientV3("alice", "secret", url.c_str());
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Zelmo_ClientTryConnectDeviceViaTennelV3(client, "SN-DRIP"), 0);
  ASSERT_TRUE(cloud.WaitForHead("GET /api/devices"));
  ASSERT_EQ(Zelmo_ClientTryConnectDeviceViaTennelV3(client, "SN-DRIP"), 0);
  EXPECT_TRUE(WaitForLog("tunnel to SN-DRIP already opening or open"));
  EXPECT_FALSE(Logged("device list from")) << "the request waited for the list to fail";
  EXPECT_TRUE(ReturnsInGoodTime([client] { Zelmo_DeleteClient(client); }));
}

}  // namespace

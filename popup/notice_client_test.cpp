#include "popup/notice_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "popup/tests/console_capture.h"

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<std::string> g_devices;

int RecordStart(NoticeBlock* block) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_devices.push_back(block->Devicename);
  }
  delete block;
  g_changed.notify_all();
  return 0;
}

bool WaitForStarts(size_t count) {
  std::unique_lock<std::mutex> hold(g_lock);
  return g_changed.wait_for(hold, std::chrono::seconds(10),
                            [&] { return g_devices.size() >= count; });
}

class NoticeClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::NetStartup(), 0);
    g_devices.clear();
    listener_ = platform::TcpSocket();
    ASSERT_NE(listener_, platform::kInvalidSocket);
    ASSERT_EQ(platform::SocketBind(listener_, "127.0.0.1", 0), 0);
    ASSERT_EQ(platform::SocketListen(listener_, 1), 0);
    port_ = platform::SocketLocalPort(listener_);
  }
  void TearDown() override {
    if (listener_ != platform::kInvalidSocket)
      platform::SocketClose(listener_);
  }
  void SendNotice(platform::Socket peer, const std::string& name) {
    std::string notice = "Info:WindowPopup,Devicename:" + name + ",CountValue:1,UrlIndex:2.";
    notice += '\0';
    ASSERT_EQ(platform::SocketSend(peer, notice.data(), static_cast<int>(notice.size())),
              static_cast<int>(notice.size()));
  }
  ConsoleCapture console_;
  platform::Socket listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
};

TEST_F(NoticeClientTest, ReadsNoticesUntilThePeerCloses) {
  std::thread client([this] { RunNoticeClient("127.0.0.1", port_, &RecordStart); });
  platform::Socket peer = platform::SocketAccept(listener_);
  ASSERT_NE(peer, platform::kInvalidSocket);
  SendNotice(peer, "first");
  ASSERT_TRUE(WaitForStarts(1));
  SendNotice(peer, "second");
  ASSERT_TRUE(WaitForStarts(2));
  platform::SocketClose(peer);
  client.join();

  EXPECT_EQ(g_devices, (std::vector<std::string>{"first", "second"}));
  std::string out = console_.Take();
  EXPECT_EQ(out.rfind("connect ok!\nbuf:Info:WindowPopup,Devicename:first,", 0), 0u) << out;
  EXPECT_NE(out.find("servicezone:2\nbuf:Info:WindowPopup,Devicename:second,"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\nGetLastError : "), std::string::npos) << out;
}

TEST_F(NoticeClientTest, NoListenerEndsAfterOneAttempt) {
  platform::SocketClose(listener_);  // the port is now free and nobody listens
  listener_ = platform::kInvalidSocket;
  RunNoticeClient("127.0.0.1", port_, &RecordStart);
  std::string out = console_.Take();
  EXPECT_EQ(out.rfind("connect error:", 0), 0u) << out;
  EXPECT_NE(out, "connect error:0\n") << "the code tells why";
  EXPECT_EQ(out.find("connect ok!"), std::string::npos);
  EXPECT_TRUE(g_devices.empty());
}

}  // namespace

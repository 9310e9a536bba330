#include "gateway/tunnel/notices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gateway/testing/log_capture.h"
#include "gateway/tunnel/session_table.h"
#include "gateway/tunnel/subscriber_listener.h"
#include "platform/net.h"

namespace {

void* FakeClient(int n) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(0x1000 * n));
}

void PutSession(int i, void* client, const char* name) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
  std::memset(&r, 0, sizeof r);
  r.ClientHandle = client;
  std::strcpy(r.DeviceSn, "SN");
  std::strcpy(r.DeviceName, name);
  r.Phase = kSessionLive;
}

// Reads exactly n bytes, or what came before the peer closed or 2 s passed.
std::string ReadBytes(platform::Socket s, int n) {
  std::string got;
  char buf[512];
  while (static_cast<int>(got.size()) < n && platform::WaitReadable(s, 2000) == 1) {
    int r =
        platform::SocketRecv(s, buf, std::min<int>(sizeof buf, n - static_cast<int>(got.size())));
    if (r <= 0)
      break;
    got.append(buf, r);
  }
  return got;
}

class NoticesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::NetStartup(), 0);
    ClearSessionTables();
    ClearPopupSubscribers();
    UrlIndex.store(0);
    int error = 0;
    listener_ = OpenSubscriberListener(0, &error);
    ASSERT_NE(listener_, platform::kInvalidSocket) << error;
    port_ = platform::SocketLocalPort(listener_);
  }
  void TearDown() override {
    std::lock_guard<std::mutex> lock(SubscribersMutex);
    for (platform::Socket& s : PopupSubscribers) {
      if (s != platform::kInvalidSocket)
        platform::SocketClose(s);
      s = platform::kInvalidSocket;
    }
    for (platform::Socket s : notifiers_)
      platform::SocketClose(s);
    platform::SocketClose(listener_);
    ClearSessionTables();
    platform::NetCleanup();
  }

  // A notifier connected and accepted as a subscriber; its socket on our side.
  platform::Socket ConnectNotifier() {
    platform::Socket s = platform::TcpSocket();
    EXPECT_EQ(platform::SocketConnect(s, "127.0.0.1", port_), 0);
    EXPECT_EQ(AcceptSubscriber(listener_), 0);
    notifiers_.push_back(s);
    return s;
  }

  platform::Socket listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::vector<platform::Socket> notifiers_;
};

TEST_F(NoticesTest, NoticeTextHasItsExactForm) {
  char out[kNoticeCapacity];
  int n = FormatNotice(out, "Front door", -3, 2);
  EXPECT_STREQ(out, "Info:WindowPopup,Devicename:Front door,CountValue:-3,UrlIndex:2.");
  EXPECT_EQ(n, static_cast<int>(std::strlen(out)));
}

TEST_F(NoticesTest, NoticeReachesEverySubscriberWithItsNul) {
  platform::Socket first = ConnectNotifier();
  platform::Socket second = ConnectNotifier();
  PutSession(0, FakeClient(1), "Yard,cam:2");
  UrlIndex.store(4);
  LogCapture log;
  EXPECT_EQ(NetInfoEvent(FakeClient(1), 17, 9), 0);
  std::string expected = "Info:WindowPopup,Devicename:Yard,cam:2,CountValue:9,UrlIndex:4.";
  expected.push_back('\0');
  EXPECT_EQ(ReadBytes(first, static_cast<int>(expected.size())), expected);
  EXPECT_EQ(ReadBytes(second, static_cast<int>(expected.size())), expected);
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{"NetInfoEvent 17:9"}));
}

TEST_F(NoticesTest, LongestDeviceNameIsSentWhole) {
  platform::Socket notifier = ConnectNotifier();
  std::string name(63, 'n');
  PutSession(5, FakeClient(2), name.c_str());
  NetInfoEvent(FakeClient(2), 1, 1);
  std::string expected = "Info:WindowPopup,Devicename:" + name + ",CountValue:1,UrlIndex:0.";
  expected.push_back('\0');
  EXPECT_EQ(ReadBytes(notifier, static_cast<int>(expected.size())), expected);
}

TEST_F(NoticesTest, EventWithoutSessionSendsNothingButIsLogged) {
  platform::Socket notifier = ConnectNotifier();
  LogCapture log;
  EXPECT_EQ(NetInfoEvent(FakeClient(3), 2, 5), 0);
  EXPECT_EQ(platform::WaitReadable(notifier, 100), 0);
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{"NetInfoEvent 2:5"}));
}

TEST_F(NoticesTest, ResetSubscriberIsDroppedAtTheNextNoticeAndSkippedAfter) {
  platform::Socket gone = ConnectNotifier();
  platform::Socket stays = ConnectNotifier();
  PutSession(0, FakeClient(1), "cam");
  NetInfoEvent(FakeClient(1), 1, 1);
  // Closing with the notice unread makes the system reset the connection.
  platform::SocketClose(gone);
  notifiers_.erase(notifiers_.begin());
  platform::Socket gateway_side;
  {
    std::lock_guard<std::mutex> lock(SubscribersMutex);
    gateway_side = PopupSubscribers[0];
  }
  ASSERT_EQ(platform::WaitReadable(gateway_side, 2000), 1);  // the reset has arrived
  NetInfoEvent(FakeClient(1), 1, 2);
  {
    std::lock_guard<std::mutex> lock(SubscribersMutex);
    EXPECT_EQ(PopupSubscribers[0], platform::kInvalidSocket);
    EXPECT_NE(PopupSubscribers[1], platform::kInvalidSocket);
  }
  NetInfoEvent(FakeClient(1), 1, 3);
  std::string expected;
  for (char n : {'1', '2', '3'}) {
    expected += std::string("Info:WindowPopup,Devicename:cam,CountValue:") + n + ",UrlIndex:0.";
    expected.push_back('\0');
  }
  EXPECT_EQ(ReadBytes(stays, static_cast<int>(expected.size())), expected);
}

TEST_F(NoticesTest, NotifierBeyondTheSixtyFourthIsClosedAtOnce) {
  for (int i = 0; i < kSubscriberCount; ++i)
    ConnectNotifier();
  LogCapture log;
  platform::Socket extra = ConnectNotifier();
  EXPECT_EQ(log.Texts(), (std::vector<std::string>{"Notice subscribers full, connection closed"}));
  ASSERT_EQ(platform::WaitReadable(extra, 2000), 1);
  char byte;
  EXPECT_EQ(platform::SocketRecv(extra, &byte, 1), 0);
  // An entry that empties is taken by the next notifier.
  {
    std::lock_guard<std::mutex> lock(SubscribersMutex);
    platform::SocketClose(PopupSubscribers[10]);
    PopupSubscribers[10] = platform::kInvalidSocket;
  }
  ConnectNotifier();
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  EXPECT_NE(PopupSubscribers[10], platform::kInvalidSocket);
}

TEST_F(NoticesTest, NotifiersThatLeftAreFreedBeforeTheTableIsFull) {
  for (int i = 0; i < kSubscriberCount; ++i)
    platform::SocketClose(ConnectNotifier());
  notifiers_.clear();
  LogCapture log;
  ConnectNotifier();
  std::vector<std::string> texts = log.Texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Notice subscriber 0 connected"), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Notice subscriber 63 closed"), 1);
  EXPECT_EQ(FreeClosedSubscribers(), 0);
  std::lock_guard<std::mutex> lock(SubscribersMutex);
  EXPECT_EQ(std::count(std::begin(PopupSubscribers), std::end(PopupSubscribers),
                       platform::kInvalidSocket),
            kSubscriberCount - 1);
}

// Whole notices only: every byte belongs to a notice ended by its NUL.
bool WholeNotices(const std::string& bytes) {
  static const std::string kNotice = "Info:WindowPopup,Devicename:cam,CountValue:7,UrlIndex:0.";
  for (size_t at = 0; at < bytes.size(); at += kNotice.size() + 1) {
    if (bytes.compare(at, kNotice.size() + 1, kNotice + '\0') != 0)
      return false;
  }
  return true;
}

TEST_F(NoticesTest, NotifierThatNeverReadsIsDroppedAndTheOthersGoOn) {
  platform::Socket stalled = ConnectNotifier();
  platform::Socket reader = ConnectNotifier();
  PutSession(0, FakeClient(1), "cam");
  const size_t kNoticeBytes = 57;
  std::string read;
  std::atomic<size_t> expected{SIZE_MAX};
  std::thread drain([&] {
    char buf[4096];
    while (read.size() < expected.load() && platform::WaitReadable(reader, 2000) == 1) {
      int n = platform::SocketRecv(reader, buf, sizeof buf);
      if (n <= 0)
        break;
      read.append(buf, n);
    }
  });
  LogCapture log;
  int sent = 0;
  bool dropped = false;
  for (; sent < 400000 && !dropped; ++sent) {
    NetInfoEvent(FakeClient(1), 1, 7);
    std::lock_guard<std::mutex> lock(SubscribersMutex);
    dropped = PopupSubscribers[0] == platform::kInvalidSocket;
  }
  expected = sent * kNoticeBytes;
  drain.join();
  ASSERT_TRUE(dropped);
  std::vector<std::string> texts = log.Texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Notice subscriber 0 dropped: it does not take a whole notice"),
            1);
  EXPECT_TRUE(WholeNotices(read));
  EXPECT_EQ(read.size(), sent * kNoticeBytes);
  // What the stalled notifier gets, up to the end, is whole notices too.
  std::string stalled_got;
  char buf[65536];
  int n;
  while (platform::WaitReadable(stalled, 2000) == 1 &&
         (n = platform::SocketRecv(stalled, buf, sizeof buf)) > 0)
    stalled_got.append(buf, n);
  EXPECT_FALSE(stalled_got.empty());
  EXPECT_TRUE(WholeNotices(stalled_got));
}

TEST_F(NoticesTest, ListenerOnABusyPortIsReportedAndTheGatewayGoesOn) {
  LogCapture log;
  EXPECT_EQ(StartSubscriberListener(port_), -1);
  std::vector<LoggedLine> lines = log.Taken();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].text.rfind("Failed to listen for notice subscribers on 127.0.0.1:" +
                                    std::to_string(port_) + ",error code :",
                                0),
            0u);
}

}  // namespace

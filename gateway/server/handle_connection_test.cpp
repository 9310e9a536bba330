#include "gateway/server/handle_connection.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gateway/check/check_code.h"
#include "gateway/server/replies.h"
#include "gateway/server/startup_paths.h"
#include "gateway/server/worker_slots.h"
#include "gateway/testing/log_capture.h"
#include "gateway/testing/zelmo_double.h"
#include "gateway/tunnel/device_connect.h"
#include "gateway/tunnel/session_reaper.h"
#include "gateway/tunnel/session_table.h"
#include "platform/net.h"
#include "platform/resolver.h"
#include "platform/thread.h"
#include "zelmo/zelmo_api.h"

namespace {

namespace fs = std::filesystem;

const char kTryStunPage[] = "HTTP/1.1 200 OK\nContent-Length: 7\n\ntrystun";
const char kFailedPage[] = "HTTP/1.1 200 OK\nContent-Length: 6\n\nfailed";
const int kServiceTime = 1700000000;

int FixedAddresses(const char*, char (*out)[16], int max) {
  const char* answer[] = {"127.0.0.1", "192.0.2.10"};
  int n = 0;
  for (const char* a : answer) {
    if (n < max)
      std::strcpy(out[n++], a);
  }
  return n;
}

// The service clock: "/getime" answers with the status and body the test sets.
class ClockServer {
 public:
  ClockServer() {
    server_.Get("/getime", [this](const httplib::Request&, httplib::Response& res) {
      ++queries_;
      res.status = status_.load();
      if (res.status == 302)
        res.set_header("Location", "/elsewhere");
      res.set_content("t=" + std::to_string(time_.load()), "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // A stop() that comes before the server runs is lost and join() would hang.
    while (!server_.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ClockServer() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  void Answer(int status, int time) {
    status_.store(status);
    time_.store(time);
  }
  int queries() const { return queries_.load(); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int> status_{200};
  std::atomic<int> time_{kServiceTime};
  std::atomic<int> queries_{0};
};

struct Outcome {
  int code = 0;
  std::string bytes;
};

class HandleConnectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    clock_ = new ClockServer;
    platform::SetResolverHook(FixedAddresses);
    fs::path dir = fs::temp_directory_path() / ("hg-pages-" + std::to_string(clock_->port()));
    fs::create_directories(dir);
    pages_ = new std::string(dir.string());
    std::ofstream(dir / "trystun.html", std::ios::binary) << kTryStunPage;
    std::ofstream(dir / "trystunfailed.html", std::ios::binary) << kFailedPage;
    std::strcpy(TryStunPath, (dir / "trystun.html").string().c_str());
    std::strcpy(TryStunFailedPath, (dir / "trystunfailed.html").string().c_str());
  }
  static void TearDownTestSuite() {
    platform::SetResolverHook(nullptr);
    fs::remove_all(*pages_);
    delete pages_;
    delete clock_;
  }
  void SetUp() override {
    zelmo_double::Reset();
    ClearSessionTables();
    clock_->Answer(200, kServiceTime);
    listener_ = platform::TcpSocket();
    ASSERT_EQ(platform::SocketBind(listener_, "127.0.0.1", 0), 0);
    ASSERT_EQ(platform::SocketListen(listener_, 4), 0);
  }
  void TearDown() override {
    platform::SocketClose(listener_);
    ClearSessionTables();
    zelmo_double::Reset();
  }

  std::string Request(int t, const std::string& sn = "SN-1", const std::string& name = "cam",
                      const char* k = nullptr) {
    std::string t_text = std::to_string(t);
    char code[kCheckCodeCapacity];
    MakeCheckCode((t_text + CheckCodeSalt).c_str(), code);
    return "GET /?t=" + t_text + "&k=" + (k != nullptr ? k : code) + "&u=alice&c=pw&ds=" + sn +
           "&dn=" + name + "&si=stun&sc=1&hi=127.0.0.1:" + std::to_string(clock_->port()) +
           "& HTTP/1.1\r\nHost: 127.0.0.1:9999\r\n\r\n";
  }

  // A connection to a worker: the browser's end and the worker's end.
  void Open(platform::Socket* browser, platform::Socket* worker) {
    *browser = platform::TcpSocket();
    ASSERT_EQ(platform::SocketConnect(*browser, "127.0.0.1", platform::SocketLocalPort(listener_)),
              0);
    *worker = platform::SocketAccept(listener_);
  }

  // Everything the browser receives until the connection is closed.
  static std::string ReadToEnd(platform::Socket s) {
    std::string got;
    char buf[2048];
    while (platform::WaitReadable(s, 5000) == 1) {
      int n = platform::SocketRecv(s, buf, sizeof buf);
      if (n <= 0)
        break;
      got.append(buf, n);
    }
    return got;
  }

  // Sends text, serves it as a worker does and closes the worker's end as the
  // reaper does; the worker's exit code and every byte the browser got.
  Outcome Serve(const std::string& text) {
    platform::Socket browser, worker;
    Open(&browser, &worker);
    platform::SocketSend(browser, text.data(), static_cast<int>(text.size()));
    Outcome out;
    out.code = ServeConnection(worker);
    platform::SocketClose(worker);
    out.bytes = ReadToEnd(browser);
    platform::SocketClose(browser);
    return out;
  }

  static void ExpectNoSessionHeld() {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    for (const CLIENTDEVICE_HANDLE& r : Sessions.DeviceSessions)
      EXPECT_EQ(r.UseCount, 0);
  }

  static CLIENTDEVICE_HANDLE Session(int i) {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    return Sessions.DeviceSessions[i];
  }

  static bool Logged(LogCapture& log, const std::string& text) {
    for (const std::string& line : log.Texts()) {
      if (line == text)
        return true;
    }
    return false;
  }

  // Brings the device's tunnel up through the double; the session is ready.
  static void BringTunnelUp(const char* user, const char* key) {
    std::vector<zelmo_double::Device> devices = {{"SN-1", "tid-1", key, user}};
    zelmo_double::SetAccountDevices(devices);
    void* client = Session(0).ClientHandle;
    ASSERT_NE(client, nullptr);
    zelmo_double::WriteDeviceList(client, devices);
    zelmo_double::GiveTunnelContext(client);
    ASSERT_EQ(zelmo_double::FireConnected(client, "tid-1"), 0);
  }

  static ClockServer* clock_;
  static std::string* pages_;
  platform::Socket listener_ = platform::kInvalidSocket;
};

ClockServer* HandleConnectionTest::clock_ = nullptr;
std::string* HandleConnectionTest::pages_ = nullptr;

TEST_F(HandleConnectionTest, WrongCheckCodeGetsNoBytes) {
  LogCapture log;
  Outcome out = Serve(Request(kServiceTime, "SN-1", "cam", "0123456789abcdef0123456789abcdef"));
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, "");
  EXPECT_TRUE(Logged(log, "check code is error!!!!!!!!!!!!!!!!!!!!!!!!"));
  EXPECT_EQ(Session(0).Phase, kSessionFree);
}

TEST_F(HandleConnectionTest, TimeStampBehindTheServiceClockGetsNoBytes) {
  LogCapture log;
  Outcome out = Serve(Request(kServiceTime - 1));
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, "");
  EXPECT_TRUE(Logged(log, "t is 1699999999|1700000000"));
  EXPECT_TRUE(Logged(log, "t is error!!!!!!!!!!!!!!!!!!!!!"));
  EXPECT_TRUE(zelmo_double::Calls().empty());
}

TEST_F(HandleConnectionTest, TimeStampEqualToTheServiceClockPasses) {
  Outcome out = Serve(Request(kServiceTime));
  EXPECT_EQ(out.code, 0);
  EXPECT_EQ(out.bytes, kTryStunPage);
  EXPECT_EQ(Session(0).Phase, kSessionLive);
  EXPECT_STREQ(Session(0).DeviceSn, "SN-1");
  ExpectNoSessionHeld();
}

TEST_F(HandleConnectionTest, RedirectingClockFailsTheRequest) {
  clock_->Answer(302, kServiceTime);
  LogCapture log;
  int before = clock_->queries();
  Outcome out = Serve(Request(kServiceTime + 100));
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, "");
  EXPECT_EQ(clock_->queries() - before, 2);
  EXPECT_TRUE(Logged(log, "get t error!!!!!!!!!!!!!!!!!!!!!"));
}

TEST_F(HandleConnectionTest, IconRequestIsSkippedAndTheNextOneServed) {
  platform::Socket browser, worker;
  Open(&browser, &worker);
  LogCapture log;
  Outcome out;
  std::thread served([&out, worker] { out.code = ServeConnection(worker); });
  std::string icon = "GET /favicon.ico HTTP/1.1\r\nHost: 127.0.0.1:9999\r\n\r\n";
  platform::SocketSend(browser, icon.data(), static_cast<int>(icon.size()));
  for (int i = 0; i < 2000 && !Logged(log, "Get invalid parameter!"); ++i)
    platform::SleepMs(1);
  ASSERT_TRUE(Logged(log, "Get invalid parameter!"));
  std::string request = Request(kServiceTime + 5);
  platform::SocketSend(browser, request.data(), static_cast<int>(request.size()));
  served.join();
  platform::SocketClose(worker);
  EXPECT_EQ(out.code, 0);
  EXPECT_EQ(ReadToEnd(browser), kTryStunPage);
  platform::SocketClose(browser);
}

TEST_F(HandleConnectionTest, DeviceThatNeverComesUpGetsTheFailedPageAtThe47thRequest) {
  for (int n = 1; n <= 46; ++n) {
    Outcome out = Serve(Request(kServiceTime));
    ASSERT_EQ(out.bytes, kTryStunPage) << "request " << n;
    ASSERT_EQ(out.code, 0) << "request " << n;
  }
  LogCapture log;
  Outcome out = Serve(Request(kServiceTime));
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, kFailedPage);
  EXPECT_TRUE(Logged(log, "looptime:46,looptimeall:46"));
  EXPECT_EQ(Session(0).IdleCountdown, 0);
  EXPECT_EQ(zelmo_double::CallsNamed("Zelmo_CreateClientV3").size(), 1u);
  ExpectNoSessionHeld();
}

TEST_F(HandleConnectionTest, ReadySessionGetsTheRedirectReplyOfExactly1024Bytes) {
  ASSERT_EQ(Serve(Request(kServiceTime)).bytes, kTryStunPage);
  BringTunnelUp("admin", "k3y");
  LogCapture log;
  Outcome out = Serve(Request(kServiceTime));
  EXPECT_EQ(out.code, 0);
  ASSERT_EQ(out.bytes.size(), static_cast<size_t>(kReplySize));
  std::string page = out.bytes.c_str();
  EXPECT_EQ(out.bytes.find_first_not_of('\0', page.size()), std::string::npos);
  CLIENTDEVICE_HANDLE r = Session(0);
  std::string url_head =
      "http://localhost:" + std::to_string(r.HttpPort) + "/?user=admin&Key=k3y&Key2=";
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\n", 0), 0u);
  EXPECT_NE(page.find("\"" + url_head), std::string::npos);
  // Key2 is the port record with this computer's address and the session's ports.
  char record[kPortRecordSize];
  char key2[kKey2Size];
  MappedPorts ports = {r.HttpPort,  r.RTSPPort,          r.SdkMapPort,
                       r.MediaPort, r.AccessIpcHTTPPort, r.AccessIpcRTSPPort};
  ASSERT_EQ(FormatPortRecord(record, sizeof record, "192.0.2.10", ports), 0);
  ASSERT_EQ(FormatKey2(record, key2, sizeof key2), 0);
  EXPECT_TRUE(Logged(log, "HTTP_URL: " + url_head + key2));
  EXPECT_EQ(Sessions.DeviceLoopCounts[0].looptime, GiveUpLimit);
  ExpectNoSessionHeld();
}

// While the worker reads the client's device list, the tunnel closes and the
// reaper passes: the client must outlive the worker's read.
void CloseTunnelAndReap(void* client) {
  CloudTunnelClosedCallBackFun(client);
  ReapSessions();
}

TEST_F(HandleConnectionTest, ReaperWaitsForTheWorkerReadingTheDeviceList) {
  ASSERT_EQ(Serve(Request(kServiceTime)).bytes, kTryStunPage);
  BringTunnelUp("admin", "k3y");
  zelmo_double::SetAfterListHook(CloseTunnelAndReap);
  Outcome out = Serve(Request(kServiceTime));
  EXPECT_EQ(out.code, 0);
  EXPECT_EQ(out.bytes.size(), static_cast<size_t>(kReplySize));
  EXPECT_NE(out.bytes.find("user=admin&Key=k3y&"), std::string::npos);
  EXPECT_EQ(zelmo_double::DeletedCount(), 0);
  ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 1);
}

TEST_F(HandleConnectionTest, RedirectedDeviceGivesUpAtOnceWhenFoundNotReady) {
  ASSERT_EQ(Serve(Request(kServiceTime)).bytes, kTryStunPage);
  BringTunnelUp("admin", "k3y");
  ASSERT_EQ(Serve(Request(kServiceTime)).bytes.size(), static_cast<size_t>(kReplySize));
  {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    Sessions.DeviceSessions[0].TunnelReady = 0;
  }
  LogCapture log;
  Outcome out = Serve(Request(kServiceTime));
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, kFailedPage);
  EXPECT_TRUE(Logged(log, "looptime:1,looptimeall:46"));
  EXPECT_EQ(Session(0).IdleCountdown, 0);
}

TEST_F(HandleConnectionTest, ReadySessionWithoutTheDeviceInItsListGetsTheFailedPage) {
  ASSERT_EQ(Serve(Request(kServiceTime)).bytes, kTryStunPage);
  BringTunnelUp("admin", "k3y");
  zelmo_double::SetAccountDevices({{"SN-other", "tid-2", "key", "admin"}});
  LogCapture log;
  Outcome out = Serve(Request(kServiceTime));
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, kFailedPage);
  EXPECT_TRUE(Logged(log, "No device entry of SN-1 in the device list"));
  ExpectNoSessionHeld();
}

TEST_F(HandleConnectionTest, DeviceLoginThatWouldBreakThePageGetsTheFailedPage) {
  ASSERT_EQ(Serve(Request(kServiceTime)).bytes, kTryStunPage);
  BringTunnelUp("ad\"min", "k3y");
  LogCapture log;
  Outcome out = Serve(Request(kServiceTime));
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, kFailedPage);
  EXPECT_TRUE(Logged(log, "Device user or key of SN-1 cannot stand in the page"));
  EXPECT_EQ(Sessions.DeviceLoopCounts[0].looptime, 0);
}

TEST_F(HandleConnectionTest, EmptyOrOverlongDeviceTextsAreRefusedWithoutReplyOrSession) {
  LogCapture log;
  int before = clock_->queries();
  Outcome empty = Serve(Request(kServiceTime, "", "cam"));
  Outcome overlong = Serve(Request(kServiceTime, "SN-1", std::string(64, 'n')));
  EXPECT_EQ(empty.code, -1);
  EXPECT_EQ(empty.bytes, "");
  EXPECT_EQ(overlong.code, -1);
  EXPECT_EQ(overlong.bytes, "");
  EXPECT_EQ(clock_->queries(), before);
  EXPECT_TRUE(zelmo_double::Calls().empty());
  EXPECT_EQ(Session(0).Phase, kSessionFree);
  int refused = 0;
  for (const LoggedLine& line : log.Taken()) {
    if (line.level == 3 && line.text.rfind("Refused device serial or name", 0) == 0)
      ++refused;
  }
  EXPECT_EQ(refused, 2);
}

TEST_F(HandleConnectionTest, NoClientForANewDeviceAfterTheWaitingPage) {
  zelmo_double::FailCreates(1);
  LogCapture log;
  Outcome out = Serve(Request(kServiceTime));
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, kTryStunPage);
  EXPECT_TRUE(Logged(log, "CLIENTDEVICE_HANDLE is full!"));
}

TEST_F(HandleConnectionTest, SilentConnectionEndsLikeAFailedRead) {
  int saved = ReceiveWaitMs;
  ReceiveWaitMs = 100;
  platform::Socket browser, worker;
  Open(&browser, &worker);
  LogCapture log;
  EXPECT_EQ(ServeConnection(worker), -1);
  ReceiveWaitMs = saved;
  EXPECT_TRUE(Logged(log, "recv Error!"));
  platform::SocketClose(worker);
  platform::SocketClose(browser);
}

TEST_F(HandleConnectionTest, IconRequestsShareTheConnectionsWait) {
  int saved = ReceiveWaitMs;
  ReceiveWaitMs = 300;
  platform::Socket browser, worker;
  Open(&browser, &worker);
  LogCapture log;
  std::atomic<bool> done{false};
  std::atomic<int> code{0};
  std::thread served([&] {
    code = ServeConnection(worker);
    done = true;
  });
  // Icon requests far more often than the wait, for far longer than it.
  std::string icon = "GET /favicon.ico HTTP/1.1\r\nHost: 127.0.0.1:9999\r\n\r\n";
  int sent = 0;
  for (; sent < 60 && !done.load(); ++sent) {
    platform::SocketSend(browser, icon.data(), static_cast<int>(icon.size()));
    platform::SleepMs(50);
  }
  served.join();
  ReceiveWaitMs = saved;
  EXPECT_LT(sent, 60);
  EXPECT_EQ(code.load(), -1);
  EXPECT_TRUE(Logged(log, "recv Error!"));
  platform::SocketClose(worker);
  platform::SocketClose(browser);
}

TEST_F(HandleConnectionTest, RequestNamingAForeignHostGetsNoReply) {
  std::string request = Request(kServiceTime);
  request.replace(request.find("Host: 127.0.0.1:9999"), 20, "Host: rebound.test:9999\x1b[2J");
  int before = clock_->queries();
  LogCapture log;
  Outcome out = Serve(request);
  EXPECT_EQ(out.code, -1);
  EXPECT_EQ(out.bytes, "");
  EXPECT_TRUE(Logged(log, "Refused request for host rebound.test:9999\\x1b[2J"));
  EXPECT_EQ(clock_->queries(), before);
  // Without Host, and naming the computer's own address, it is served.
  std::string bare = Request(kServiceTime);
  bare.replace(bare.find("Host: 127.0.0.1:9999\r\n"), 22, "");
  EXPECT_EQ(Serve(bare).bytes, kTryStunPage);
  std::string own = Request(kServiceTime, "SN-2");
  own.replace(own.find("127.0.0.1:9999"), 14, "192.0.2.10:9999");
  EXPECT_EQ(Serve(own).bytes, kTryStunPage);
}

TEST_F(HandleConnectionTest, WorkerMarksItsSlotFinishedWithItsExitCode) {
  platform::Socket browser, worker;
  Open(&browser, &worker);
  ClearWorkerSlots();
  int i = ClaimWorkerSlot(worker);
  std::string request = Request(kServiceTime);
  platform::SocketSend(browser, request.data(), static_cast<int>(request.size()));
  EXPECT_EQ(HandleConnection(&WorkerSlots[i]), 0u);
  EXPECT_EQ(WorkerSlots[i].State.load(), kSlotFinished);
  platform::SocketClose(browser);
  i = ClaimWorkerSlot(worker);  // the same connection again: the browser has gone
  EXPECT_EQ(HandleConnection(&WorkerSlots[i]), static_cast<unsigned>(-1));
  EXPECT_EQ(WorkerSlots[i].State.load(), kSlotFinished);
  platform::SocketClose(worker);
  ClearWorkerSlots();
}

}  // namespace

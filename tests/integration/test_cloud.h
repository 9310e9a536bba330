// Test support: a device cloud running in-process on free loopback ports, a
// recorder for the library's callbacks and log lines, and small socket helpers.
#pragma once
#include <asio.hpp>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "devcloud/cloud.h"

namespace zelmo_test {

// Account "alice"/"secret": SN-ON (online), SN-OFF (offline), SN-EXT (online
// only while an external agent runs). Account "bob"/"pw": SN-BOB.
extern const char* const kTestConfig;

class TestCloud {
 public:
  // config_text: a cloud config; empty takes the demo config.
  explicit TestCloud(const std::string& config_text = kTestConfig);
  ~TestCloud();

  bool started() const { return started_; }
  std::string url() const;   // "http://127.0.0.1:PORT"
  std::string bare() const;  // "127.0.0.1:PORT"
  uint16_t http_port() const { return cloud_.http_port(); }
  // POST path?query on the HTTP side; the status, or -1.
  int Admin(const std::string& path_and_query);
  nlohmann::json Stats();
  // The stats entry of one device.
  nlohmann::json DeviceStats(const std::string& sn);

 private:
  devcloud::Cloud cloud_;
  bool started_ = false;
};

// Records the library's callbacks; hand its address as the callbacks' user value.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  void* client = nullptr;
  int connected = 0;
  int closed = 0;
  std::string tunnel_id;
  void* context_seen = nullptr;     // the client's tunnel context inside the callback
  bool listed_at_callback = false;  // the tunnel id was in the device list then
  std::vector<std::pair<int, int>> events;
  std::function<void()> in_connected;  // runs inside the connected callback

  // Waits until done() holds (checked under the lock), at most seconds.
  bool WaitFor(const std::function<bool()>& done, int seconds = 10);
};

int OnConnected(void* user, const char* tunnel_id);
int OnClosed(void* user);
int OnNetInfo(void* user, int code, int count);

// Makes a client for alice (or the given account) and registers the recorder.
void* MakeClient(TestCloud& cloud, Recorder& recorder, const char* user = "alice",
                 const char* password = "secret");

// Library log lines, collected from Zelmo_SetLogFunc.
void CaptureLog();
std::vector<std::pair<int, std::string>> LoggedLines();
void ClearLog();

// A port that was free a moment ago on 127.0.0.1.
uint16_t FreePort();

// Connects a blocking socket to 127.0.0.1:port; false when refused.
bool ConnectLoopback(asio::ip::tcp::socket& socket, uint16_t port);

}  // namespace zelmo_test

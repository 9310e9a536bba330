// Test support (see test_cloud.h).
#include "test_cloud.h"

#include <httplib.h>

#include <chrono>

#include "zelmo/zelmo_api.h"

namespace zelmo_test {

const char* const kTestConfig = R"({"accounts": [
  {"user": "alice", "password": "secret", "devices": [
    {"sn": "SN-ON", "name": "Lab", "tunnel_id": "tn-on", "user": "admin", "key": "K1"},
    {"sn": "SN-OFF", "name": "Shed", "tunnel_id": "tn-off", "user": "admin", "key": "K2",
     "online": false},
    {"sn": "SN-EXT", "name": "Remote", "tunnel_id": "tn-ext", "user": "op", "key": "K3",
     "agent": "external", "agent_secret": "secret-of-sn-ext-0001"}]},
  {"user": "bob", "password": "pw", "devices": [
    {"sn": "SN-BOB", "name": "Bob", "tunnel_id": "tn-bob", "user": "admin", "key": "K4"}]}
]})";

TestCloud::TestCloud(const std::string& config_text) : cloud_(nullptr) {
  devcloud::CloudOptions options;
  options.listen_port = 0;
  std::string why;
  if (config_text.empty()) {
    options.config = devcloud::DemoConfig();
  } else if (devcloud::ParseConfig(config_text, options.config, why) != 0) {
    return;
  }
  started_ = cloud_.Start(options, why) == 0;
}

TestCloud::~TestCloud() {
  cloud_.Stop();
}

std::string TestCloud::url() const {
  return "http://" + bare();
}

std::string TestCloud::bare() const {
  return "127.0.0.1:" + std::to_string(http_port());
}

int TestCloud::Admin(const std::string& path_and_query) {
  httplib::Client client("127.0.0.1", http_port());
  auto result = client.Post(path_and_query.c_str(), "", "application/json");
  return result ? result->status : -1;
}

nlohmann::json TestCloud::Stats() {
  httplib::Client client("127.0.0.1", http_port());
  auto result = client.Get("/admin/stats");
  if (!result || result->status != 200)
    return nlohmann::json();
  return nlohmann::json::parse(result->body, nullptr, false);
}

nlohmann::json TestCloud::DeviceStats(const std::string& sn) {
  nlohmann::json stats = Stats();
  if (!stats.is_object())
    return nlohmann::json();
  for (const auto& device : stats["devices"]) {
    if (device["sn"] == sn)
      return device;
  }
  return nlohmann::json();
}

bool Recorder::WaitFor(const std::function<bool()>& done, int seconds) {
  std::unique_lock<std::mutex> lock(mutex);
  return changed.wait_for(lock, std::chrono::seconds(seconds), done);
}

int OnConnected(void* user, const char* tunnel_id) {
  auto* recorder = static_cast<Recorder*>(user);
  if (recorder->in_connected)
    recorder->in_connected();
  std::lock_guard<std::mutex> lock(recorder->mutex);
  ++recorder->connected;
  recorder->tunnel_id = tunnel_id;
  recorder->context_seen = ZelmoTunnelContext(recorder->client);
  recorder->listed_at_callback = false;
  for (int i = 0; i < ZelmoDeviceCount(recorder->client); ++i) {
    const char* entry = ZelmoDeviceEntry(recorder->client, i);
    if (std::string(ZelmoEntryTunnelId(entry)) == tunnel_id)
      recorder->listed_at_callback = true;
  }
  recorder->changed.notify_all();
  return 0;
}

int OnClosed(void* user) {
  auto* recorder = static_cast<Recorder*>(user);
  std::lock_guard<std::mutex> lock(recorder->mutex);
  ++recorder->closed;
  recorder->changed.notify_all();
  return 1;
}

int OnNetInfo(void* user, int code, int count) {
  auto* recorder = static_cast<Recorder*>(user);
  std::lock_guard<std::mutex> lock(recorder->mutex);
  recorder->events.emplace_back(code, count);
  recorder->changed.notify_all();
  return 0;
}

void* MakeClient(TestCloud& cloud, Recorder& recorder, const char* user, const char* password) {
  void* client = Zelmo_CreateClientV3(user, password, cloud.url().c_str());
  if (client == nullptr)
    return nullptr;
  {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.client = client;
  }
  Zelmo_SetClientTunnelConnectedCallBack(client, &recorder, OnConnected);
  Zelmo_SetClientTunnelClosedCallBack(client, &recorder, OnClosed);
  return client;
}

namespace {
std::mutex log_mutex;
std::vector<std::pair<int, std::string>> log_lines;

void CollectLine(int level, const char* text) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_lines.emplace_back(level, text);
}
}  // namespace

void CaptureLog() {
  Zelmo_SetLogFunc(CollectLine);
}

std::vector<std::pair<int, std::string>> LoggedLines() {
  std::lock_guard<std::mutex> lock(log_mutex);
  return log_lines;
}

void ClearLog() {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_lines.clear();
}

uint16_t FreePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  return acceptor.local_endpoint().port();
}

bool ConnectLoopback(asio::ip::tcp::socket& socket, uint16_t port) {
  std::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), port}, ec);
  return !ec;
}

}  // namespace zelmo_test

// Test double of the tunnel libraries (see zelmo_double.h). Every client object
// is a zeroed heap block of the library's layout; a tunnel context is a small
// record of its own holding the traffic counter and the network-event callback.
// One mutex guards the double's books; callbacks are always run outside it, as a
// library thread would run them.
#include "gateway/testing/zelmo_double.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/net.h"
#include "zelmo/zelmo_api.h"

namespace {

struct FakeTunnel {
  int64_t counter = 0;
  ZelmoNetInfoCallBack net_info = nullptr;
  void* net_info_user = nullptr;
};

struct FakeClient {
  void* object = nullptr;
  FakeTunnel* tunnel = nullptr;
  ZelmoTunnelConnectedCallBack connected = nullptr;
  void* connected_user = nullptr;
  ZelmoTunnelClosedCallBack closed = nullptr;
  void* closed_user = nullptr;
};

struct Books {
  std::mutex mu;
  std::vector<FakeClient> clients;
  int deleted = 0;
  int failing_creates = 0;
  int create_delay_ms = 0;
  bool closed_on_delete = false;
  void (*after_list)(void* client) = nullptr;
  int closed_in_delete = 0;
  std::vector<std::thread> late_callbacks;  // closed callbacks that outlived their delete
  std::vector<zelmo_double::Device> account_devices;
  std::vector<int> scripted_rule_results;
  std::map<int, int> rule_result_for_port;
  bool rule_listening = false;
  int rule_delay_ms = 0;
  std::vector<platform::Socket> rule_listeners;
  std::vector<zelmo_double::Call> calls;
};

Books& TheBooks() {
  static Books books;
  return books;
}

std::atomic<ZelmoLogFunc> RegisteredSink{nullptr};

std::string Text(const char* s) {
  return s != nullptr ? s : "(null)";
}

void Record(const char* name, std::vector<std::string> args) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.calls.push_back({name, std::move(args)});
}

FakeClient* FindClient(Books& b, const void* object) {
  for (FakeClient& c : b.clients) {
    if (c.object == object)
      return &c;
  }
  return nullptr;
}

FakeTunnel* FindTunnel(Books& b, const void* context) {
  for (FakeClient& c : b.clients) {
    if (c.tunnel != nullptr && c.tunnel == context)
      return c.tunnel;
  }
  return nullptr;
}

void CopyText(char* field, int cap, const std::string& text) {
  std::memset(field, 0, cap);
  std::strncpy(field, text.c_str(), cap - 1);
}

int NextRuleResult(Books& b, int port) {
  auto by_port = b.rule_result_for_port.find(port);
  if (by_port != b.rule_result_for_port.end())
    return by_port->second;
  if (b.scripted_rule_results.empty())
    return 0;
  int r = b.scripted_rule_results.front();
  b.scripted_rule_results.erase(b.scripted_rule_results.begin());
  return r;
}

void ListenOnRulePort(Books& b, uint16_t port) {
  platform::Socket s = platform::TcpSocket();
  if (platform::SocketBind(s, "0.0.0.0", port) == 0 && platform::SocketListen(s, 4) == 0) {
    b.rule_listeners.push_back(s);
  } else {
    platform::SocketClose(s);
  }
}

// Runs the closed callback on another thread and waits for it, up to 2 seconds.
// Called without the books' lock. Returns whether it finished in time.
bool RunClosedCallbackAside(ZelmoTunnelClosedCallBack callback, void* user) {
  struct Done {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  std::thread runner([callback, user, done] {
    callback(user);
    std::lock_guard<std::mutex> lock(done->mu);
    done->done = true;
    done->cv.notify_all();
  });
  bool in_time;
  {
    std::unique_lock<std::mutex> lock(done->mu);
    in_time = done->cv.wait_for(lock, std::chrono::seconds(2), [&done] { return done->done; });
  }
  if (in_time) {
    runner.join();
  } else {
    Books& b = TheBooks();
    std::lock_guard<std::mutex> lock(b.mu);
    b.late_callbacks.push_back(std::move(runner));
  }
  return in_time;
}

void SleepMs(int ms) {
  if (ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

extern "C" void Zelmo_SetLogFunc(ZelmoLogFunc sink) {
  RegisteredSink.store(sink);
}

extern "C" ZelmoLogFunc Zelmo_GetLogFunc(int) {
  return RegisteredSink.load();
}

extern "C" void* Zelmo_CreateClientV3(const char* user, const char* password, const char* server) {
  Record("Zelmo_CreateClientV3", {Text(user), Text(password), Text(server)});
  Books& b = TheBooks();
  int delay_ms;
  {
    std::lock_guard<std::mutex> lock(b.mu);
    delay_ms = b.create_delay_ms;
  }
  SleepMs(delay_ms);
  std::lock_guard<std::mutex> lock(b.mu);
  if (b.failing_creates > 0) {
    --b.failing_creates;
    return nullptr;
  }
  FakeClient c;
  c.object = std::calloc(1, kZelmoClientObjectSize);
  b.clients.push_back(c);
  return c.object;
}

extern "C" void Zelmo_SetClientTunnelConnectedCallBack(void* client, void* user,
                                                       ZelmoTunnelConnectedCallBack callback) {
  Record("Zelmo_SetClientTunnelConnectedCallBack",
         {zelmo_double::HandleText(client), zelmo_double::HandleText(user)});
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  if (FakeClient* c = FindClient(b, client)) {
    c->connected = callback;
    c->connected_user = user;
  }
}

extern "C" void Zelmo_SetClientTunnelClosedCallBack(void* client, void* user,
                                                    ZelmoTunnelClosedCallBack callback) {
  Record("Zelmo_SetClientTunnelClosedCallBack",
         {zelmo_double::HandleText(client), zelmo_double::HandleText(user)});
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  if (FakeClient* c = FindClient(b, client)) {
    c->closed = callback;
    c->closed_user = user;
  }
}

extern "C" int Zelmo_ListMyDeviceV3(void* client, const char* device_name) {
  Record("Zelmo_ListMyDeviceV3", {zelmo_double::HandleText(client), Text(device_name)});
  std::vector<zelmo_double::Device> devices;
  void (*after_list)(void* client);
  {
    Books& b = TheBooks();
    std::lock_guard<std::mutex> lock(b.mu);
    if (FindClient(b, client) == nullptr)
      return -1;
    devices = b.account_devices;
    after_list = b.after_list;
  }
  zelmo_double::WriteDeviceList(client, devices);
  if (after_list != nullptr)
    after_list(client);
  return 0;
}

extern "C" int Zelmo_ClientTryConnectDeviceViaTennelV3(void* client, const char* device_sn) {
  Record("Zelmo_ClientTryConnectDeviceViaTennelV3",
         {zelmo_double::HandleText(client), Text(device_sn)});
  return 0;
}

extern "C" int Zelmo_DeleteClient(void* client) {
  Record("Zelmo_DeleteClient", {zelmo_double::HandleText(client)});
  Books& b = TheBooks();
  ZelmoTunnelClosedCallBack closed = nullptr;
  void* closed_user = nullptr;
  {
    std::lock_guard<std::mutex> lock(b.mu);
    FakeClient* c = FindClient(b, client);
    if (c != nullptr && b.closed_on_delete) {
      closed = c->closed;
      closed_user = c->closed_user;
    }
  }
  if (closed != nullptr && RunClosedCallbackAside(closed, closed_user)) {
    std::lock_guard<std::mutex> lock(b.mu);
    ++b.closed_in_delete;
  }
  std::lock_guard<std::mutex> lock(b.mu);
  for (auto it = b.clients.begin(); it != b.clients.end(); ++it) {
    if (it->object != client)
      continue;
    delete it->tunnel;
    std::free(it->object);
    b.clients.erase(it);
    ++b.deleted;
    return 0;
  }
  return -1;
}

extern "C" int Zelmo_CopyDeviceEntry(void* client, int index, void* entry) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  if (FindClient(b, client) == nullptr || entry == nullptr)
    return -1;
  if (index < 0 || index >= ZelmoDeviceCount(client) || index >= kZelmoMaxDevices)
    return -1;
  std::memcpy(entry, ZelmoDeviceEntry(client, index), kZelmoDeviceEntrySize);
  return 0;
}

extern "C" int Zelmo_AddT2URule(void* tunnel_context, const char* tunnel_id, int reserved,
                                const char* rule_name, const char* local_ip, uint16_t local_port) {
  Record("Zelmo_AddT2URule",
         {zelmo_double::HandleText(tunnel_context), Text(tunnel_id), std::to_string(reserved),
          Text(rule_name), Text(local_ip), std::to_string(local_port)});
  int delay_ms;
  {
    Books& b = TheBooks();
    std::lock_guard<std::mutex> lock(b.mu);
    delay_ms = b.rule_delay_ms;
  }
  SleepMs(delay_ms);
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  int result = NextRuleResult(b, local_port);
  if (result == 0 && b.rule_listening)
    ListenOnRulePort(b, local_port);
  return result;
}

extern "C" int64_t Zelmo_GetT2UCounter(void* tunnel_context, int kind) {
  Record("Zelmo_GetT2UCounter", {zelmo_double::HandleText(tunnel_context), std::to_string(kind)});
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  FakeTunnel* t = FindTunnel(b, tunnel_context);
  return t != nullptr ? t->counter : 0;
}

extern "C" void Zelmo_SetNetInfoCallBack(void* tunnel_context, void* user,
                                         ZelmoNetInfoCallBack callback) {
  Record("Zelmo_SetNetInfoCallBack",
         {zelmo_double::HandleText(tunnel_context), zelmo_double::HandleText(user)});
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  if (FakeTunnel* t = FindTunnel(b, tunnel_context)) {
    t->net_info = callback;
    t->net_info_user = user;
  }
}

namespace zelmo_double {

void Reset() {
  Books& b = TheBooks();
  std::vector<std::thread> late;
  {
    std::lock_guard<std::mutex> lock(b.mu);
    late.swap(b.late_callbacks);
  }
  for (std::thread& t : late)
    t.join();
  std::lock_guard<std::mutex> lock(b.mu);
  for (FakeClient& c : b.clients) {
    delete c.tunnel;
    std::free(c.object);
  }
  for (platform::Socket s : b.rule_listeners)
    platform::SocketClose(s);
  b.clients.clear();
  b.rule_listeners.clear();
  b.deleted = 0;
  b.failing_creates = 0;
  b.create_delay_ms = 0;
  b.closed_on_delete = false;
  b.closed_in_delete = 0;
  b.after_list = nullptr;
  b.account_devices.clear();
  b.scripted_rule_results.clear();
  b.rule_result_for_port.clear();
  b.rule_listening = false;
  b.rule_delay_ms = 0;
  b.calls.clear();
}

void FailCreates(int count) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.failing_creates = count;
}

void SetCreateDelayMs(int ms) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.create_delay_ms = ms;
}

void SetClosedCallbackOnDelete(bool on) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.closed_on_delete = on;
}

int ClosedCallbacksInDelete() {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  return b.closed_in_delete;
}

std::vector<void*> LiveClients() {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  std::vector<void*> out;
  for (const FakeClient& c : b.clients)
    out.push_back(c.object);
  return out;
}

int DeletedCount() {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  return b.deleted;
}

void SetAccountDevices(const std::vector<Device>& devices) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.account_devices = devices;
}

void SetAfterListHook(void (*hook)(void* client)) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.after_list = hook;
}

void WriteDeviceList(void* client, const std::vector<Device>& devices) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  int n = 0;
  for (const Device& d : devices) {
    if (n == kZelmoMaxDevices)
      break;
    char* entry = ZelmoMutableDeviceEntry(client, n++);
    CopyText(entry + kZelmoEntrySerialOffset, kZelmoEntrySerialSize, d.serial);
    CopyText(entry + kZelmoEntryTunnelIdOffset, kZelmoEntryTunnelIdSize, d.tunnel_id);
    CopyText(entry + kZelmoEntryKeyOffset, kZelmoEntryKeySize, d.key);
    CopyText(entry + kZelmoEntryUserOffset, kZelmoEntryUserSize, d.user);
  }
  ZelmoSetDeviceCount(client, n);
}

void* GiveTunnelContext(void* client) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  FakeClient* c = FindClient(b, client);
  if (c == nullptr)
    return nullptr;
  if (c->tunnel == nullptr)
    c->tunnel = new FakeTunnel;
  ZelmoSetTunnelContext(client, c->tunnel);
  return c->tunnel;
}

void SetCounter(void* client, int64_t value) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  FakeClient* c = FindClient(b, client);
  if (c != nullptr && c->tunnel != nullptr)
    c->tunnel->counter = value;
}

void ScriptRuleResults(const std::vector<int>& results) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.scripted_rule_results = results;
}

void SetRuleResultForPort(int port, int result) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.rule_result_for_port[port] = result;
}

void SetRuleListening(bool on) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.rule_listening = on;
}

void SetRuleDelayMs(int ms) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  b.rule_delay_ms = ms;
}

std::vector<Call> Calls() {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  return b.calls;
}

std::vector<Call> CallsNamed(const std::string& name) {
  std::vector<Call> out;
  for (const Call& c : Calls()) {
    if (c.name == name)
      out.push_back(c);
  }
  return out;
}

std::string HandleText(const void* handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", handle);
  return text;
}

int FireConnected(void* client, const char* tunnel_id) {
  ZelmoTunnelConnectedCallBack callback = nullptr;
  void* user = nullptr;
  {
    Books& b = TheBooks();
    std::lock_guard<std::mutex> lock(b.mu);
    FakeClient* c = FindClient(b, client);
    if (c != nullptr) {
      callback = c->connected;
      user = c->connected_user;
    }
  }
  return callback != nullptr ? callback(user, tunnel_id) : -100;
}

int FireClosed(void* client) {
  ZelmoTunnelClosedCallBack callback = nullptr;
  void* user = nullptr;
  {
    Books& b = TheBooks();
    std::lock_guard<std::mutex> lock(b.mu);
    FakeClient* c = FindClient(b, client);
    if (c != nullptr) {
      callback = c->closed;
      user = c->closed_user;
    }
  }
  return callback != nullptr ? callback(user) : -100;
}

int FireNetInfo(void* client, int event_code, int count_value) {
  ZelmoNetInfoCallBack callback = nullptr;
  void* user = nullptr;
  {
    Books& b = TheBooks();
    std::lock_guard<std::mutex> lock(b.mu);
    FakeClient* c = FindClient(b, client);
    if (c != nullptr && c->tunnel != nullptr) {
      callback = c->tunnel->net_info;
      user = c->tunnel->net_info_user;
    }
  }
  return callback != nullptr ? callback(user, event_code, count_value) : -100;
}

}  // namespace zelmo_double

// Test double of the tunnel libraries (see zelmo_double.h). Every client object
// is a zeroed heap block of the library's layout; a tunnel context is a small
// record of its own holding its tunnel id, the traffic counter and the
// network-event callback. One mutex guards the double's books; callbacks run
// outside it, on a thread of their own, as a library thread would run them.
//
// Where the gateway relies on the library, the double keeps the library's word:
// Zelmo_DeleteClient runs no callback itself but waits for the client's
// callbacks in flight; Zelmo_AddT2URule refuses (-2) a null or unknown context,
// another tunnel's id and an unknown rule name; and a handle or context used
// after its client was deleted ends the test program, as freed memory would in
// the library (the object is kept poisoned until Reset, so the use is caught).
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
  std::string id;
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
  int in_flight = 0;  // callbacks running on library threads
  bool deleting = false;
};

constexpr const char* kRuleNames[] = {"HttpPort",         "RTSPPort",    "MediaPort",
                                      "SdkMapPort",       "HttpMapPort", "AccessIpcHTTPPort",
                                      "AccessIpcRTSPPort"};

struct Books {
  std::mutex mu;
  std::condition_variable changed;  // a callback ended or a delete began
  std::vector<FakeClient> clients;
  std::vector<void*> deleted_objects;  // poisoned, freed at Reset
  std::vector<FakeTunnel*> deleted_tunnels;
  int deleted = 0;
  int failing_creates = 0;
  int create_delay_ms = 0;
  void (*after_list)(void* client) = nullptr;
  int finished_in_delete = 0;
  std::vector<std::thread> late_callbacks;  // callbacks that outlived their delete
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

void Contains(const std::vector<void*>& v, const void* p, const char* what, const char* call) {
  for (const void* q : v) {
    if (q == p) {
      std::fprintf(stderr, "zelmo_double: %s called with the %s of a deleted client\n", call, what);
      std::abort();
    }
  }
}

// Lock held. Ends the program on a handle or context of a deleted client.
void RefuseStale(Books& b, const void* client, const void* context, const char* call) {
  if (client != nullptr)
    Contains(b.deleted_objects, client, "handle", call);
  if (context != nullptr) {
    std::vector<void*> tunnels(b.deleted_tunnels.begin(), b.deleted_tunnels.end());
    Contains(tunnels, context, "tunnel context", call);
  }
}

bool IsRuleName(const char* name) {
  for (const char* known : kRuleNames) {
    if (name != nullptr && std::strcmp(name, known) == 0)
      return true;
  }
  return false;
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

// Runs fn on a thread of its own, as the library runs callbacks, counted as in
// flight for the client; waits for it unless detached.
template <typename Fn>
int RunOnLibraryThread(void* client, Fn fn) {
  Books& b = TheBooks();
  {
    std::lock_guard<std::mutex> lock(b.mu);
    if (FakeClient* c = FindClient(b, client))
      ++c->in_flight;
  }
  int result = 0;
  std::thread runner([&result, fn] { result = fn(); });
  runner.join();
  std::lock_guard<std::mutex> lock(b.mu);
  if (FakeClient* c = FindClient(b, client))
    --c->in_flight;
  b.changed.notify_all();
  return result;
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
  RefuseStale(b, client, nullptr, "Zelmo_SetClientTunnelConnectedCallBack");
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
  RefuseStale(b, client, nullptr, "Zelmo_SetClientTunnelClosedCallBack");
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
    RefuseStale(b, client, nullptr, "Zelmo_ListMyDeviceV3");
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
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  RefuseStale(b, client, nullptr, "Zelmo_ClientTryConnectDeviceViaTennelV3");
  if (FindClient(b, client) == nullptr || device_sn == nullptr || device_sn[0] == '\0')
    return -1;
  return 0;
}

// Waits, at most 2 seconds, for the client's callbacks in flight, as the library
// joins its thread; a callback still running then was blocked by the deleting
// thread and is left to Reset.
extern "C" int Zelmo_DeleteClient(void* client) {
  Record("Zelmo_DeleteClient", {zelmo_double::HandleText(client)});
  Books& b = TheBooks();
  std::unique_lock<std::mutex> lock(b.mu);
  RefuseStale(b, client, nullptr, "Zelmo_DeleteClient");
  FakeClient* c = FindClient(b, client);
  if (c == nullptr)
    return -1;
  c->deleting = true;
  b.changed.notify_all();
  bool idle = b.changed.wait_for(lock, std::chrono::seconds(2), [&b, client] {
    FakeClient* f = FindClient(b, client);
    return f == nullptr || f->in_flight == 0;
  });
  if (!idle)
    return 0;  // the client stays, deleting; the test sees its callback never finished
  for (auto it = b.clients.begin(); it != b.clients.end(); ++it) {
    if (it->object != client)
      continue;
    std::memset(it->object, 0xA5, kZelmoClientObjectSize);
    b.deleted_objects.push_back(it->object);
    if (it->tunnel != nullptr)
      b.deleted_tunnels.push_back(it->tunnel);
    b.clients.erase(it);
    ++b.deleted;
    break;
  }
  return 0;
}

extern "C" int Zelmo_CopyDeviceEntry(void* client, int index, void* entry) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  RefuseStale(b, client, nullptr, "Zelmo_CopyDeviceEntry");
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
  RefuseStale(b, nullptr, tunnel_context, "Zelmo_AddT2URule");
  FakeTunnel* t = FindTunnel(b, tunnel_context);
  if (t == nullptr || tunnel_id == nullptr || t->id != tunnel_id || !IsRuleName(rule_name))
    return -2;
  int result = NextRuleResult(b, local_port);
  if (result == 0 && b.rule_listening)
    ListenOnRulePort(b, local_port);
  return result;
}

extern "C" int64_t Zelmo_GetT2UCounter(void* tunnel_context, int kind) {
  Record("Zelmo_GetT2UCounter", {zelmo_double::HandleText(tunnel_context), std::to_string(kind)});
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  RefuseStale(b, nullptr, tunnel_context, "Zelmo_GetT2UCounter");
  FakeTunnel* t = FindTunnel(b, tunnel_context);
  return t != nullptr && kind == 1 ? t->counter : 0;
}

extern "C" void Zelmo_SetNetInfoCallBack(void* tunnel_context, void* user,
                                         ZelmoNetInfoCallBack callback) {
  Record("Zelmo_SetNetInfoCallBack",
         {zelmo_double::HandleText(tunnel_context), zelmo_double::HandleText(user)});
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  RefuseStale(b, nullptr, tunnel_context, "Zelmo_SetNetInfoCallBack");
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
  for (void* object : b.deleted_objects)
    std::free(object);
  for (FakeTunnel* t : b.deleted_tunnels)
    delete t;
  b.deleted_objects.clear();
  b.deleted_tunnels.clear();
  for (platform::Socket s : b.rule_listeners)
    platform::SocketClose(s);
  b.clients.clear();
  b.rule_listeners.clear();
  b.deleted = 0;
  b.failing_creates = 0;
  b.create_delay_ms = 0;
  b.finished_in_delete = 0;
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

int CallbacksFinishedInDelete() {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  return b.finished_in_delete;
}

void FireClosedDuringDelete(void* client) {
  Books& b = TheBooks();
  ZelmoTunnelClosedCallBack callback;
  void* user;
  {
    std::lock_guard<std::mutex> lock(b.mu);
    FakeClient* c = FindClient(b, client);
    if (c == nullptr || c->closed == nullptr)
      return;
    callback = c->closed;
    user = c->closed_user;
    ++c->in_flight;
  }
  std::thread runner([&b, client, callback, user] {
    {
      std::unique_lock<std::mutex> lock(b.mu);
      b.changed.wait(lock, [&b, client] {
        FakeClient* c = FindClient(b, client);
        return c == nullptr || c->deleting;
      });
    }
    callback(user);
    std::lock_guard<std::mutex> lock(b.mu);
    if (FakeClient* c = FindClient(b, client)) {
      --c->in_flight;
      if (c->deleting)
        ++b.finished_in_delete;
    }
    b.changed.notify_all();
  });
  std::lock_guard<std::mutex> lock(b.mu);
  b.late_callbacks.push_back(std::move(runner));
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

void* GiveTunnelContext(void* client, const std::string& tunnel_id) {
  Books& b = TheBooks();
  std::lock_guard<std::mutex> lock(b.mu);
  FakeClient* c = FindClient(b, client);
  if (c == nullptr)
    return nullptr;
  if (c->tunnel == nullptr)
    c->tunnel = new FakeTunnel;
  c->tunnel->id = tunnel_id;
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
  if (callback == nullptr)
    return -100;
  // As the library does: the tunnel the callback names is the client's context.
  GiveTunnelContext(client, tunnel_id);
  std::string id = tunnel_id;
  return RunOnLibraryThread(client, [callback, user, id] { return callback(user, id.c_str()); });
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
  if (callback == nullptr)
    return -100;
  return RunOnLibraryThread(client, [callback, user] { return callback(user); });
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
  if (callback == nullptr)
    return -100;
  return RunOnLibraryThread(client, [callback, user, event_code, count_value] {
    return callback(user, event_code, count_value);
  });
}

}  // namespace zelmo_double

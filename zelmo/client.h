// The client: what Zelmo_CreateClientV3 makes. The handle is the address of a
// ClientObject whose first kZelmoClientObjectSize bytes have the layout the host
// program reads (device count, device list, tunnel context); the library's own
// state sits behind them. Each client has one I/O thread that opens and watches
// its tunnel, runs its port rules and streams, and calls its callbacks.
//
// Nothing slow runs on the I/O thread: the device list that a tunnel needs
// before it is reported up is fetched on a thread of its own, and every cloud
// call is bounded in time and cancelled when the client is deleted.
//
// Deleting a client stops that thread and waits for it, so a callback in flight
// finishes first and none runs afterwards. A client deleted from inside one of
// its own callbacks cannot wait for itself: its thread then frees it as soon as
// the callback has returned.
#pragma once
#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/tunnel/zelmo_api.h"
#include "zelmo/cloud_api.h"
#include "zelmo/server_address.h"
#include "zelmo/tunnel_connector.h"

namespace zelmo {

class ClientState;

struct ClientObject {
  unsigned char layout[kZelmoClientObjectSize];
  ClientState* state;
  uint32_t magic;  // marks a live client, so a stray handle is refused
};
static_assert(offsetof(ClientObject, state) >= kZelmoClientObjectSize,
              "the library's state stays behind the layout the host reads");

class ClientState {
 public:
  ClientState(ClientObject& object, ServerAddress server, CloudSession session,
              asio::ip::tcp::endpoint relay);
  ~ClientState();

  void SetConnectedCallback(void* user, ZelmoTunnelConnectedCallBack callback);
  void SetClosedCallback(void* user, ZelmoTunnelClosedCallBack callback);
  // Fetches the account's devices into the object; 0 or -1. Any thread.
  int RefreshDevices();
  // Starts opening a tunnel to the device; returns at once. Any thread.
  void TryConnect(const std::string& serial);
  // Stops the I/O thread. True when the caller must free the client now; false
  // when the caller is that thread, which then frees the client itself.
  bool Stop();

 private:
  void Run();
  // Refreshes the list on the lister thread; done(listed) then runs on the I/O thread.
  void CheckListedAway(const std::string& serial, std::function<void(bool)> done);
  void OnTunnelUp(Tunnel& tunnel);
  void OnTunnelClosed();

  ClientObject& object_;
  const ServerAddress server_;
  const CloudSession session_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::unique_ptr<TunnelConnector> connector_;
  std::mutex list_mutex_;
  std::mutex callback_mutex_;
  void* connected_user_ = nullptr;
  ZelmoTunnelConnectedCallBack connected_ = nullptr;
  void* closed_user_ = nullptr;
  ZelmoTunnelClosedCallBack closed_ = nullptr;
  bool frees_itself_ = false;  // written and read on the I/O thread only
  CallCanceller canceller_;
  std::thread lister_;  // started and joined on the I/O thread, or after it ended
  std::thread thread_;
};

// Signs in and makes a client; null with a level-3 log line saying why.
ClientObject* CreateClient(const char* user, const char* password, const char* server);
// Stops and frees the client (see ClientState::Stop).
void DeleteClient(ClientObject* object);
// The object behind a handle, or null.
ClientObject* ClientFromHandle(void* handle);

}  // namespace zelmo

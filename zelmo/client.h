// The client: what Zelmo_CreateClientV3 makes. The handle is the address of the
// client's layout: kZelmoClientObjectSize bytes that the host program reads
// (device count, device list, tunnel context); the library's own state sits
// behind them. Handles are resolved only through the registry of live clients
// (client_registry.h). Each client has one I/O thread that opens and watches
// its tunnel, runs its port rules and streams, and calls its callbacks.
//
// Nothing slow runs on the I/O thread: the device list that a tunnel needs
// before it is reported up is fetched on a thread of its own, and every cloud
// call is bounded in time and cancelled when the client is deleted.
//
// Every callback passes the client's gate (callback_gate.h), and deleting a
// client shuts it first: a callback in flight on another thread finishes before
// the delete goes on, and none runs once the delete returned, whichever thread
// asked. A client deleted from inside one of its own callbacks cannot wait for
// its own thread: that thread frees it once the callback has returned.
#pragma once
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "zelmo/callback_gate.h"
#include "zelmo/cloud_api.h"
#include "zelmo/server_address.h"
#include "zelmo/tunnel_connector.h"
#include "zelmo/zelmo_api.h"

namespace zelmo {

class ClientState {
 public:
  ClientState(ServerAddress server, CloudSession session, asio::ip::tcp::endpoint relay);
  ~ClientState();
  ClientState(const ClientState&) = delete;
  ClientState& operator=(const ClientState&) = delete;

  void* handle() { return layout_; }
  // Starts the I/O thread.
  void Start();

  void SetConnectedCallback(void* user, ZelmoTunnelConnectedCallBack callback);
  void SetClosedCallback(void* user, ZelmoTunnelClosedCallBack callback);
  // Fetches the account's devices into the layout; 0 or -1. Any thread.
  int RefreshDevices();
  // Starts opening a tunnel to the device; returns at once. Any thread.
  void TryConnect(const std::string& serial);

  // True for the first caller only: that one goes on to delete the client.
  bool ClaimDelete() { return !delete_claimed_.exchange(true); }
  // Shuts the gate, ends the cloud calls and stops the I/O thread. From another
  // thread it waits for that thread; from the I/O thread itself (a callback)
  // it hands self to that thread, which lets go of the client when the
  // callback has returned.
  void Stop(std::shared_ptr<ClientState> self);

 private:
  void Run();
  // Refreshes the list on the lister thread; done(listed) then runs on the I/O thread.
  void CheckListedAway(const std::string& serial, std::function<void(bool)> done);
  void OnTunnelUp(Tunnel& tunnel);
  void OnTunnelClosed();

  alignas(8) unsigned char layout_[kZelmoClientObjectSize] = {};
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
  CallbackGate gate_;
  std::atomic<bool> delete_claimed_{false};
  std::shared_ptr<ClientState> self_;  // written and read on the I/O thread only
  CallCanceller canceller_;
  std::thread lister_;  // started and joined on the I/O thread, or after it ended
  std::thread thread_;
};

// Signs in and makes a client; its handle, or null with a level-3 log line
// saying why.
void* CreateClient(const char* user, const char* password, const char* server);
// Stops and frees the client behind the handle; 0, or -1 for a handle that is
// not a live client (or one already being deleted).
int DeleteClient(void* handle);

}  // namespace zelmo

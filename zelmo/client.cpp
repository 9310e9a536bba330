// Client lifetime, device list and callbacks (see client.h).
#include "zelmo/client.h"

#include "zelmo/client_registry.h"
#include "zelmo/device_list.h"
#include "zelmo/host_lookup.h"
#include "zelmo/http_call.h"
#include "zelmo/log.h"

namespace zelmo {
namespace {

// The relay sits on the cloud's host at the port the sign-in named.
int ResolveRelay(const ServerAddress& server, uint16_t port, asio::ip::tcp::endpoint& out) {
  Endpoints found;
  std::string why;
  if (LookUpHost(server.host, port, true, kCallDeadline, found, why) != 0)
    return -1;
  out = found.front();
  return 0;
}

}  // namespace

ClientState::ClientState(ServerAddress server, CloudSession session, asio::ip::tcp::endpoint relay)
    : server_(std::move(server)), session_(std::move(session)), work_(asio::make_work_guard(io_)) {
  TunnelConnector::Events events;
  events.check_listed = [this](const std::string& serial, std::function<void(bool)> done) {
    CheckListedAway(serial, std::move(done));
  };
  events.up = [this](Tunnel& tunnel) { OnTunnelUp(tunnel); };
  events.closed = [this] { OnTunnelClosed(); };
  events.gate = &gate_;
  connector_ = std::make_unique<TunnelConnector>(io_, relay, session_.token, session_.turn,
                                                std::move(events));
}

// Runs on the thread that lets go of the client last: the deleting one, a call
// that still held the client, or the I/O thread after a delete from a callback.
ClientState::~ClientState() {
  canceller_.Cancel();
  if (lister_.joinable())
    lister_.join();
  if (thread_.joinable()) {
    work_.reset();
    io_.stop();
    thread_.join();
  }
  connector_.reset();
}

void ClientState::Start() {
  thread_ = std::thread([this] { Run(); });
}

void ClientState::Run() {
  io_.run();
  if (self_) {
    // Deleted from a callback: let go of the client, which ends here unless a
    // call on another thread still holds it.
    thread_.detach();
    std::shared_ptr<ClientState> last = std::move(self_);
  }
}

void ClientState::Stop(std::shared_ptr<ClientState> self) {
  gate_.Shut();
  canceller_.Cancel();
  work_.reset();
  io_.stop();
  if (std::this_thread::get_id() == thread_.get_id()) {
    self_ = std::move(self);
    return;
  }
  thread_.join();
  if (lister_.joinable())
    lister_.join();
}

void ClientState::SetConnectedCallback(void* user, ZelmoTunnelConnectedCallBack callback) {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  connected_user_ = user;
  connected_ = callback;
}

void ClientState::SetClosedCallback(void* user, ZelmoTunnelClosedCallBack callback) {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  closed_user_ = user;
  closed_ = callback;
}

int ClientState::RefreshDevices() {
  std::vector<CloudDevice> devices;
  std::string why;
  if (FetchDevices(server_, session_.token, devices, why, &canceller_) != 0) {
    Log(kLogFailure, "Zelmo: device list from %s:%u failed: %s", server_.host.c_str(),
        static_cast<unsigned>(server_.port), why.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> lock(list_mutex_);
  WriteDeviceList(layout_, devices);
  Log(kLogDetail, "Zelmo: device list holds %d devices", ZelmoDeviceCount(layout_));
  return 0;
}

// The connector asks one device at a time, and only after the last answer came
// back, so the previous lister has ended or is about to.
void ClientState::CheckListedAway(const std::string& serial, std::function<void(bool)> done) {
  if (lister_.joinable())
    lister_.join();
  lister_ = std::thread([this, serial, done = std::move(done)] {
    bool listed = RefreshDevices() == 0;
    if (listed) {
      std::lock_guard<std::mutex> lock(list_mutex_);
      listed = FindDeviceEntry(layout_, serial.c_str()) >= 0;
    }
    asio::post(io_, [done, listed] { done(listed); });
  });
}

void ClientState::TryConnect(const std::string& serial) {
  asio::post(io_, [this, serial] { connector_->Open(serial); });
}

// The context goes into the registry and the layout before the host hears of
// the tunnel; a client being deleted publishes nothing more.
void ClientState::OnTunnelUp(Tunnel& tunnel) {
  gate_.Pass([&] {
    if (!RegisterTunnel(&tunnel, layout_))
      return;
    ZelmoSetTunnelContext(layout_, &tunnel);
    void* user;
    ZelmoTunnelConnectedCallBack callback;
    {
      std::lock_guard<std::mutex> lock(callback_mutex_);
      user = connected_user_;
      callback = connected_;
    }
    if (callback == nullptr)
      return;
    int rc = callback(user, tunnel.id().c_str());
    Log(kLogDetail, "Zelmo: connected callback for %s returned %d", tunnel.device_sn().c_str(), rc);
  });
}

void ClientState::OnTunnelClosed() {
  gate_.Pass([&] {
    void* user;
    ZelmoTunnelClosedCallBack callback;
    {
      std::lock_guard<std::mutex> lock(callback_mutex_);
      user = closed_user_;
      callback = closed_;
    }
    if (callback != nullptr)
      callback(user);
  });
}

void* CreateClient(const char* user, const char* password, const char* server) {
  ServerAddress address;
  if (ParseServerAddress(server, address) != 0) {
    Log(kLogFailure, "Zelmo: no cloud at \"%s\": not a server address", server ? server : "");
    return nullptr;
  }
  CloudSession session;
  std::string why;
  int rc = SignIn(address, user ? user : "", password ? password : "", session, why);
  if (rc != 0) {
    Log(kLogFailure, "Zelmo: sign-in of %s at %s:%u failed: %s: %s", user ? user : "",
        address.host.c_str(), static_cast<unsigned>(address.port),
        rc == kCloudRefused ? "account refused" : "cloud unreachable", why.c_str());
    return nullptr;
  }
  asio::ip::tcp::endpoint relay;
  if (ResolveRelay(address, session.relay_port, relay) != 0) {
    Log(kLogFailure, "Zelmo: relay of %s not resolved", address.host.c_str());
    return nullptr;
  }
  auto client = std::make_shared<ClientState>(address, session, relay);
  client->Start();
  RegisterClient(client->handle(), client);
  Log(kLogProgress, "Zelmo: %s signed in at %s:%u", user ? user : "", address.host.c_str(),
      static_cast<unsigned>(address.port));
  return client->handle();
}

// Out of the registry first, so no new call finds the client; the client itself
// goes when the last call that still holds it returns.
int DeleteClient(void* handle) {
  std::shared_ptr<ClientState> client = FindClient(handle);
  if (client == nullptr || !client->ClaimDelete())
    return -1;
  ForgetClient(handle);
  client->Stop(client);
  Log(kLogProgress, "Zelmo: client deleted");
  return 0;
}

}  // namespace zelmo

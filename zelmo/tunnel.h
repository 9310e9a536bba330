// The tunnel context that the host program holds: the open tunnel to one device
// with its port rules, its traffic counter and its network event callback. It is
// made on the client's I/O thread when the tunnel comes up and lives until its
// client is deleted; after the tunnel closed it stays readable (the counter keeps
// its last value) while its rules stop forwarding and new rules are refused.
//
// Threads: AddRule, Bytes and SetNetInfoCallback may be called from any thread;
// ReportNetInfo, NotePath and Close run on the I/O thread, which owns the rules,
// the transport and the path last logged. The host's handle to a tunnel (its
// context) is resolved through the client registry, never by looking at the
// memory it points to.
#pragma once
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zelmo/callback_gate.h"
#include "zelmo/port_rule.h"
#include "zelmo/transport.h"
#include "zelmo/tunnel_path.h"
#include "zelmo/zelmo_api.h"

namespace zelmo {

// Results of AddRule, as Zelmo_AddT2URule returns them.
constexpr int kRuleListening = 0;
constexpr int kRulePortUnusable = -1;
constexpr int kRuleRefused = -2;

class Tunnel {
 public:
  // gate: the owning client's callback gate, if any; network events pass it.
  Tunnel(asio::io_context& io, std::string device_sn, std::string tunnel_id,
         CallbackGate* gate = nullptr);
  ~Tunnel();

  // Sets the transport once, before the context is handed out.
  void SetTransport(std::unique_ptr<Transport> transport) { transport_ = std::move(transport); }
  std::atomic<int64_t>* counter() { return &bytes_; }
  const std::string& device_sn() const { return device_sn_; }
  const std::string& id() const { return id_; }

  int AddRule(const char* tunnel_id, const char* rule_name, const char* local_ip,
              uint16_t local_port);
  int64_t Bytes() const { return bytes_.load(); }
  void SetNetInfoCallback(void* user, ZelmoNetInfoCallBack callback);

  void ReportNetInfo(int code, int count);
  // Logs the path of the tunnel's streams when it is the first noted or
  // differs from the last one.
  void NotePath(const TunnelPath& path);
  void Close();

 private:
  void StartRule(asio::ip::tcp::acceptor acceptor, const std::string& service);

  asio::io_context& io_;
  CallbackGate* gate_;
  const std::string device_sn_;
  const std::string id_;
  std::atomic<int64_t> bytes_{0};
  std::atomic<bool> closed_{false};
  std::unique_ptr<Transport> transport_;
  std::vector<std::unique_ptr<PortRule>> rules_;
  bool path_noted_ = false;
  TunnelPath path_;
  std::mutex callback_mutex_;
  void* netinfo_user_ = nullptr;
  ZelmoNetInfoCallBack netinfo_ = nullptr;
};

}  // namespace zelmo

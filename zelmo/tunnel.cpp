// Tunnel context (see tunnel.h).
#include "zelmo/tunnel.h"

#include "zelmo/log.h"
#include "zelmo/wire.h"

namespace zelmo {

Tunnel::Tunnel(asio::io_context& io, std::string device_sn, std::string tunnel_id,
               CallbackGate* gate)
    : io_(io), gate_(gate), device_sn_(std::move(device_sn)), id_(std::move(tunnel_id)) {}

Tunnel::~Tunnel() {
  Close();
}

int Tunnel::AddRule(const char* tunnel_id, const char* rule_name, const char* local_ip,
                    uint16_t local_port) {
  if (tunnel_id == nullptr || id_ != tunnel_id)
    return kRuleRefused;
  if (rule_name == nullptr || !IsServiceName(rule_name))
    return kRuleRefused;
  if (closed_.load())
    return kRuleRefused;
  std::error_code ec;
  asio::ip::address address = asio::ip::make_address(local_ip ? local_ip : "", ec);
  if (ec)
    return kRuleRefused;
  asio::ip::tcp::acceptor acceptor(io_);
  std::string why;
  if (OpenListener(acceptor, address, local_port, why) != 0) {
    Log(kLogDetail, "Zelmo: %s rule cannot use %s:%u: %s", rule_name, local_ip,
        static_cast<unsigned>(local_port), why.c_str());
    return kRulePortUnusable;
  }
  std::string service = rule_name;
  asio::post(io_, [this, acceptor = std::move(acceptor), service]() mutable {
    StartRule(std::move(acceptor), service);
  });
  Log(kLogProgress, "Zelmo: %s of %s forwarded from %s:%u", rule_name, device_sn_.c_str(), local_ip,
      static_cast<unsigned>(local_port));
  return kRuleListening;
}

// A rule added from another thread while the tunnel was closing is closed here.
void Tunnel::StartRule(asio::ip::tcp::acceptor acceptor, const std::string& service) {
  if (closed_.load() || !transport_) {
    std::error_code ignored;
    acceptor.close(ignored);
    return;
  }
  rules_.push_back(std::make_unique<PortRule>(std::move(acceptor), service, *transport_));
  rules_.back()->Start();
}

void Tunnel::SetNetInfoCallback(void* user, ZelmoNetInfoCallBack callback) {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  netinfo_user_ = user;
  netinfo_ = callback;
}

void Tunnel::ReportNetInfo(int code, int count) {
  void* user;
  ZelmoNetInfoCallBack callback;
  {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    user = netinfo_user_;
    callback = netinfo_;
  }
  Log(kLogDetail, "Zelmo: network event %d (%d) on the tunnel to %s", code, count,
      device_sn_.c_str());
  if (callback == nullptr)
    return;
  if (gate_ == nullptr)
    callback(user, code, count);
  else
    gate_->Pass([&] { callback(user, code, count); });
}

void Tunnel::NotePath(const TunnelPath& path) {
  if (path_noted_ && path == path_)
    return;
  path_noted_ = true;
  path_ = path;
  Log(kLogProgress, "Zelmo: tunnel to %s is %s", device_sn_.c_str(), DescribePath(path).c_str());
}

void Tunnel::Close() {
  closed_.store(true);
  for (auto& rule : rules_)
    rule->Close();
  if (transport_)
    transport_->Close();
}

}  // namespace zelmo

// The device cloud (see cloud.h). Start brings the parts up in the order they
// depend on each other (relay, HTTP, agents); Stop takes them down the other
// way round, so no HTTP handler waits on a relay that has stopped.
#include "devcloud/cloud.h"

#include <chrono>

namespace devcloud {
namespace {

// A wildcard listen address is reached on loopback from this computer.
std::string ReachableHost(const std::string& host) {
  return host == "0.0.0.0" || host.empty() ? "127.0.0.1" : host;
}

}  // namespace

Cloud::Cloud(Say say) : say_(std::move(say)), http_(server_) {}

Cloud::~Cloud() {
  Stop();
}

int Cloud::Start(const CloudOptions& options, std::string& why) {
  directory_ = std::make_unique<Directory>(options.config);
  if (StartRelay(options, why) != 0 || StartHttp(options, why) != 0 ||
      StartAgents(options, why) != 0) {
    Stop();
    return -1;
  }
  return 0;
}

int Cloud::StartRelay(const CloudOptions& options, std::string& why) {
  std::error_code ec;
  asio::ip::address address = asio::ip::make_address(options.listen_host, ec);
  if (ec) {
    why = "bad listen address " + options.listen_host;
    return -1;
  }
  relay_ = std::make_unique<Relay>(relay_io_, *directory_, [this](const std::string& text) {
    if (say_)
      say_("devcloud: " + text);
  });
  asio::ip::tcp::endpoint at(address, static_cast<uint16_t>(options.relay_port));
  if (relay_->Listen(at, why) != 0) {
    why = "relay cannot listen on " + options.listen_host + ":" +
          std::to_string(options.relay_port) + ": " + why;
    return -1;
  }
  relay_thread_ = std::thread([this] {
    auto work = asio::make_work_guard(relay_io_);
    relay_io_.run();
  });
  if (say_)
    say_("devcloud: relay on " + options.listen_host + ":" + std::to_string(relay_port()));
  return 0;
}

int Cloud::StartHttp(const CloudOptions& options, std::string& why) {
  int port = http_.Bind(options.listen_host, options.listen_port);
  if (port < 0) {
    why = "cannot listen on " + options.listen_host + ":" + std::to_string(options.listen_port);
    return -1;
  }
  http_port_ = static_cast<uint16_t>(port);
  context_.directory = directory_.get();
  context_.clock = &clock_;
  context_.relay = relay_.get();
  context_.turn = options.turn;
  context_.listen = ReachableHost(options.listen_host) + ":" + std::to_string(port);
  AddCloudRoutes(server_, context_);
  http_.Run();
  if (say_)
    say_("devcloud: portal and API on http://" + context_.listen + "/");
  return 0;
}

int Cloud::StartAgents(const CloudOptions& options, std::string& why) {
  asio::ip::tcp::endpoint relay(asio::ip::make_address(ReachableHost(options.listen_host)),
                                relay_port());
  Agent::Notes notes = nullptr;
  for (const AccountConfig& account : directory_->config().accounts) {
    for (const DeviceConfig& device : account.devices) {
      if (device.external_agent)
        continue;
      DeviceInfo info{device.sn, device.name, device.user, device.key};
      agents_.push_back(
          std::make_unique<Agent>(agents_io_, info, device.agent_secret, relay, notes));
      agents_.back()->SetTurn(options.turn);
      if (agents_.back()->Start() != 0) {
        why = "web server of " + device.sn + " did not start";
        return -1;
      }
    }
  }
  for (const std::string& sn : options.expose) {
    if (ExposeServices(sn, why) != 0)
      return -1;
  }
  agents_thread_ = std::thread([this] {
    auto work = asio::make_work_guard(agents_io_);
    agents_io_.run();
  });
  WaitForAgents();
  return 0;
}

// Once the cloud says it runs, its built-in devices are online: a first tunnel
// request finds them linked. An agent that cannot link within the limit goes on
// trying in the background.
void Cloud::WaitForAgents() {
  for (int i = 0; i < 500; ++i) {
    bool all = relay_->Call([this] {
      for (const auto& agent : agents_) {
        if (!relay_->IsLinked(agent->device().sn))
          return false;
      }
      return true;
    });
    if (all)
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int Cloud::ExposeServices(const std::string& sn, std::string& why) {
  for (auto& agent : agents_) {
    if (agent->device().sn != sn)
      continue;
    auto ports = agent->ExposeServices();
    if (ports.empty()) {
      why = "services of " + sn + " could not be exposed";
      return -1;
    }
    for (const auto& port : ports) {
      if (say_)
        say_("devcloud: " + sn + " " + port.first + " on 127.0.0.1:" + std::to_string(port.second));
    }
    return 0;
  }
  why = "no built-in agent for " + sn + " (an external agent exposes with --agent)";
  return -1;
}

void Cloud::Stop() {
  http_.Stop();
  agents_io_.stop();
  if (agents_thread_.joinable())
    agents_thread_.join();
  agents_.clear();
  relay_io_.stop();
  if (relay_thread_.joinable())
    relay_thread_.join();
  relay_.reset();
}

}  // namespace devcloud

// Relay (see relay.h).
#include "devcloud/relay.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <deque>
#include <limits>
#include <set>

#include "devcloud/secrets.h"
#include "platform/text.h"
#include "zelmo/wire.h"

namespace devcloud {
namespace {

using asio::ip::tcp;

constexpr auto kGreetingLimit = std::chrono::seconds(10);
constexpr auto kPendingLimit = std::chrono::seconds(10);
// After a failed accept (out of descriptors, say) the relay waits before the
// next, doubling the pause up to a second, instead of spinning on the error.
constexpr std::chrono::milliseconds kFirstAcceptPause(10);
constexpr std::chrono::milliseconds kLongestAcceptPause(1000);
constexpr std::size_t kMaxPendingStreams = 1024;
constexpr std::size_t kMaxTunnels = 1024;
// Spares a device's agent may keep ready; the agent keeps two.
constexpr std::size_t kMaxSpares = 4;
// Ready stream connections a tunnel may keep; the library keeps one.
constexpr std::size_t kMaxReady = 4;

// A direct path's set-up takes a few dozen lines each way; the bound keeps a
// hostile library or agent from flooding the other side through the relay.
constexpr double kDirectBurst = 64;
constexpr double kDirectPerSecond = 8;
constexpr auto kDirectNotePause = std::chrono::minutes(1);

// A token bucket for one direction of a tunnel's "DIRECT" lines, and when it
// may next tell of the lines it dropped.
struct LineBudget {
  double tokens = kDirectBurst;
  std::chrono::steady_clock::time_point filled = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point next_note{};
};

// True when the budget lets one more line through now.
bool SpendLine(LineBudget& budget, std::chrono::steady_clock::time_point now) {
  const std::chrono::duration<double> elapsed = now - budget.filled;
  budget.filled = now;
  budget.tokens = std::min(kDirectBurst, budget.tokens + elapsed.count() * kDirectPerSecond);
  if (budget.tokens < 1)
    return false;
  budget.tokens -= 1;
  return true;
}

// True at most once per kDirectNotePause: whether to tell of a dropped line.
bool TimeToNote(LineBudget& budget, std::chrono::steady_clock::time_point now) {
  if (now < budget.next_note)
    return false;
  budget.next_note = now + kDirectNotePause;
  return true;
}

// A byte count as the agent reports it: digits only, within int64_t.
bool ParseByteCount(const std::string& text, int64_t& count) {
  long long value = 0;
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) ||
      !platform::ParseWholeDecimal(text.c_str(), 0, std::numeric_limits<long long>::max(), &value))
    return false;
  count = value;
  return true;
}

// The agent's counts are its own: a sum with them must not overflow.
int64_t AddCounts(int64_t a, int64_t b) {
  return b > std::numeric_limits<int64_t>::max() - a ? std::numeric_limits<int64_t>::max() : a + b;
}

}  // namespace

struct Relay::Device {
  const DeviceConfig* config = nullptr;
  bool enabled = true;              // the admin's online switch
  std::shared_ptr<LineLink> agent;  // null while no agent is linked
  std::atomic<int64_t> bytes{0};
  int streams = 0;
  std::string link_secret;         // what the linked agent's spares present
  std::deque<tcp::socket> spares;  // device sides kept ready by the agent
  bool foreign_noted = false;      // the linked agent named another device's tunnel
};

// A library's stream connection kept ready, waiting for its "USE" line.
struct Relay::ReadyStream {
  explicit ReadyStream(tcp::socket s) : socket(std::move(s)) {}
  tcp::socket socket;
  std::string inbox;
};

// The bytes of a tunnel's streams are counted each way by their pipes, which
// hold the counters for as long as they run; the bytes of its UDP streams are
// the agent's to report. The tunnel id of "OK" is the device's, the same for
// each of its tunnels, and a device may have several open (a second host, or a
// library that opened a new tunnel while the relay still holds its silent old
// one), so on the agent's link a tunnel goes by a number of its own.
struct Relay::Tunnel {
  std::string sn;
  std::string id;          // names the tunnel on its device's link
  zelmo::TunnelPath path;  // the cloud's relay until the agent reports another
  std::shared_ptr<std::atomic<int64_t>> to_device = std::make_shared<std::atomic<int64_t>>(0);
  std::shared_ptr<std::atomic<int64_t>> from_device = std::make_shared<std::atomic<int64_t>>(0);
  int64_t udp_to_device = 0;
  int64_t udp_from_device = 0;
  LineBudget to_agent;
  LineBudget to_library;
  std::shared_ptr<LineLink> control;
  std::vector<std::weak_ptr<zelmo::Pipe>> pipes;
  std::vector<std::shared_ptr<ReadyStream>> ready;
};

// A library's stream connection waiting for the agent's side.
struct Relay::PendingStream {
  PendingStream(tcp::socket s, std::string r, std::string k, asio::io_context& io)
      : socket(std::move(s)), rest(std::move(r)), key(std::move(k)), expiry(io) {}
  tcp::socket socket;
  std::string rest;
  std::string key;
  asio::steady_timer expiry;
};

// Reads the first line of a new connection, within kGreetingLimit.
class Relay::Greeting : public std::enable_shared_from_this<Greeting> {
 public:
  Greeting(Relay& relay, tcp::socket socket)
      : relay_(relay), socket_(std::move(socket)), timer_(relay.io_) {}

  void Start() {
    auto self = shared_from_this();
    timer_.expires_after(kGreetingLimit);
    timer_.async_wait([self](std::error_code ec) {
      std::error_code ignored;
      if (!ec)
        self->socket_.close(ignored);
    });
    asio::async_read_until(socket_, asio::dynamic_buffer(inbox_, zelmo::kMaxLineLength), '\n',
                           [self](std::error_code ec, std::size_t) { self->OnLine(ec); });
  }

 private:
  void OnLine(std::error_code ec) {
    timer_.cancel();
    std::string line;
    if (ec || !socket_.is_open() || !zelmo::TakeLine(inbox_, line))
      return;
    relay_.OnHello(std::move(socket_), zelmo::SplitWords(line), std::move(inbox_));
  }

  Relay& relay_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  std::string inbox_;
};

Relay::Relay(asio::io_context& io, const Directory& directory, Notes notes)
    : io_(io),
      directory_(directory),
      notes_(std::move(notes)),
      acceptor_(io),
      accept_timer_(io),
      accept_pause_(kFirstAcceptPause),
      control_silence_limit_(4 * zelmo::kKeepAliveInterval) {
  for (const AccountConfig& account : directory_.config().accounts) {
    for (const DeviceConfig& config : account.devices) {
      auto device = std::make_unique<Device>();
      device->config = &config;
      device->enabled = config.online;
      devices_[config.sn] = std::move(device);
    }
  }
}

Relay::~Relay() {
  Close();
}

int Relay::Listen(const tcp::endpoint& at, std::string& why) {
  std::error_code ec;
  acceptor_.open(at.protocol(), ec);
  if (!ec)
    acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec)
    acceptor_.bind(at, ec);
  if (!ec)
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    why = ec.message();
    return -1;
  }
  port_ = acceptor_.local_endpoint(ec).port();
  Accept();
  return 0;
}

void Relay::Accept() {
  acceptor_.async_accept([this](std::error_code ec, tcp::socket socket) {
    if (!acceptor_.is_open())
      return;
    if (ec)
      return AcceptLater();
    accept_pause_ = kFirstAcceptPause;
    std::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::make_shared<Greeting>(*this, std::move(socket))->Start();
    Accept();
  });
}

void Relay::AcceptLater() {
  ++accept_errors_;
  accept_timer_.expires_after(accept_pause_);
  accept_pause_ = std::min(accept_pause_ * 2, kLongestAcceptPause);
  accept_timer_.async_wait([this](std::error_code ec) {
    if (!ec && acceptor_.is_open())
      Accept();
  });
}

void Relay::OnHello(tcp::socket socket, const std::vector<std::string>& words, std::string rest) {
  if (words.size() == 3 && words[0] == zelmo::kHelloTunnel) {
    OnTunnel(std::move(socket), words[1], words[2], std::move(rest));
  } else if (words.size() == 3 && words[0] == zelmo::kHelloStream) {
    OnStream(std::move(socket), words[1], words[2], std::move(rest));
  } else if (words.size() == 2 && words[0] == zelmo::kHelloAgent) {
    OnAgent(std::move(socket), words[1], std::move(rest));
  } else if (words.size() == 2 && words[0] == zelmo::kHelloData) {
    OnData(std::move(socket), words[1], std::move(rest));
  } else if (words.size() == 2 && words[0] == zelmo::kHelloReady) {
    OnReady(std::move(socket), words[1], std::move(rest));
  } else if (words.size() == 3 && words[0] == zelmo::kHelloSpare) {
    OnSpare(std::move(socket), words[1], words[2], std::move(rest));
  }
}

void Relay::OnTunnel(tcp::socket socket, const std::string& token, const std::string& sn,
                     std::string rest) {
  auto link = std::make_shared<LineLink>(std::move(socket), std::move(rest));
  const AccountConfig* account = directory_.AccountOfToken(token);
  if (account == nullptr || FindOwner(directory_.config(), sn) != account) {
    link->SendAndClose(zelmo::MakeLine(
        {zelmo::kReplyDenied, account == nullptr ? "unknown-token" : "not-your-device"}));
    return;
  }
  if (!IsOnline(sn))
    return link->SendAndClose(zelmo::MakeLine({zelmo::kReplyOffline}));
  if (tunnels_.size() >= kMaxTunnels) {
    return link->SendAndClose(zelmo::MakeLine({zelmo::kReplyBusy, "too-many-tunnels"}));
  }
  std::string key = RandomKey();
  if (key.empty())
    return;
  auto tunnel = std::make_unique<Tunnel>();
  tunnel->sn = sn;
  tunnel->id = std::to_string(++tunnels_opened_);
  tunnel->control = link;
  keys_by_id_[tunnel->id] = key;
  tunnels_[key] = std::move(tunnel);
  link->Start([this, key](const std::string& line) { OnControlLine(key, line); },
              [this, key] { CloseTunnel(key); });
  link->SetIdleLimit(control_silence_limit_);
  link->Send(zelmo::MakeLine({zelmo::kReplyOk, FindDevice(sn)->config->tunnel_id, key}));
}

// The library pings its tunnel's control connection, the answer telling it the
// path still works, and sends its side of a direct path's set-up, which goes to
// the device's agent with the tunnel's id in front.
void Relay::OnControlLine(const std::string& key, const std::string& line) {
  auto found = tunnels_.find(key);
  if (found == tunnels_.end())
    return;
  Tunnel& tunnel = *found->second;
  if (line == zelmo::kCommandPing)
    return tunnel.control->Send(zelmo::MakeLine({zelmo::kReplyPong}));
  std::vector<std::string> words = zelmo::SplitWords(line);
  Device* device = FindDevice(tunnel.sn);
  if (words.size() < 2 || words[0] != zelmo::kLineDirect || !device->agent)
    return;
  words.insert(words.begin() + 1, tunnel.id);
  std::string out = zelmo::MakeLine(words);
  if (out.size() > zelmo::kMaxLineLength)
    return;  // the agent could not read it
  const auto now = std::chrono::steady_clock::now();
  if (!SpendLine(tunnel.to_agent, now)) {
    if (notes_ && TimeToNote(tunnel.to_agent, now))
      notes_("tunnel " + tunnel.id + " of " + tunnel.sn +
             ": DIRECT lines from the library over the rate bound, dropped");
    return;
  }
  device->agent->Send(out);
}

void Relay::OnStream(tcp::socket socket, const std::string& key, const std::string& service,
                     std::string rest) {
  auto tunnel = tunnels_.find(key);
  if (tunnel == tunnels_.end() || !zelmo::IsServiceName(service))
    return;
  Device* device = FindDevice(tunnel->second->sn);
  if (!device->agent)
    return;
  if (TakeSpare(*device, *tunnel->second, service, socket, rest) == 0)
    return;
  std::string id = RandomKey();
  if (pending_.size() >= kMaxPendingStreams || id.empty())
    return;
  auto pending = std::make_unique<PendingStream>(std::move(socket), std::move(rest), key, io_);
  pending->expiry.expires_after(kPendingLimit);
  pending->expiry.async_wait([this, id](std::error_code ec) {
    if (!ec)
      pending_.erase(id);
  });
  pending_[id] = std::move(pending);
  device->agent->Send(zelmo::MakeLine({zelmo::kCommandOpen, id, service}));
}

// A ready connection waits without a time limit: it ends with its tunnel.
void Relay::OnReady(tcp::socket socket, const std::string& key, std::string rest) {
  auto tunnel = tunnels_.find(key);
  if (tunnel == tunnels_.end() || !rest.empty() || tunnel->second->ready.size() >= kMaxReady)
    return;
  auto ready = std::make_shared<ReadyStream>(std::move(socket));
  const std::string ok = zelmo::MakeLine({zelmo::kReplyOk});
  std::error_code ec;
  asio::write(ready->socket, asio::buffer(ok), ec);  // a fresh socket: does not wait
  if (ec)
    return;
  tunnel->second->ready.push_back(ready);
  asio::async_read_until(ready->socket, asio::dynamic_buffer(ready->inbox, zelmo::kMaxLineLength),
                         '\n', [this, key, ready](std::error_code read_ec, std::size_t) {
                           OnReadyLine(key, ready, read_ec);
                         });
}

void Relay::OnReadyLine(const std::string& key, const std::shared_ptr<ReadyStream>& ready,
                        std::error_code ec) {
  auto tunnel = tunnels_.find(key);
  if (tunnel == tunnels_.end())
    return;  // closed with its tunnel
  auto& list = tunnel->second->ready;
  list.erase(std::remove(list.begin(), list.end(), ready), list.end());
  std::string line;
  if (ec || !zelmo::TakeLine(ready->inbox, line))
    return;
  std::vector<std::string> words = zelmo::SplitWords(line);
  if (words.size() == 2 && words[0] == zelmo::kCommandUse)
    OnStream(std::move(ready->socket), key, words[1], std::move(ready->inbox));
}

// The stream id was sent only to the linked agent, so the id is the agent's
// credential here.
void Relay::OnData(tcp::socket socket, const std::string& id, std::string rest) {
  auto found = pending_.find(id);
  if (found == pending_.end())
    return;
  std::unique_ptr<PendingStream> pending = std::move(found->second);
  pending_.erase(found);
  auto tunnel = tunnels_.find(pending->key);
  if (tunnel == tunnels_.end())
    return;
  Join(*FindDevice(tunnel->second->sn), *tunnel->second, std::move(pending->socket),
       std::move(pending->rest), std::move(socket), std::move(rest));
}

// Hands the stream to a spare of the device's agent: the "SERVE" header goes
// first, then the stream's bytes. 0, or -1 when no spare took it.
int Relay::TakeSpare(Device& device, Tunnel& tunnel, const std::string& service,
                     tcp::socket& library_side, std::string& rest) {
  const std::string header = zelmo::MakeSpareHeader(service);
  while (!device.spares.empty()) {
    tcp::socket spare = std::move(device.spares.front());
    device.spares.pop_front();
    // A fresh spare's send buffer is empty, so this write does not wait.
    std::error_code ec;
    asio::write(spare, asio::buffer(header), ec);
    if (ec)
      continue;  // the agent let this spare go: try the next
    Join(device, tunnel, std::move(library_side), std::move(rest), std::move(spare), "");
    return 0;
  }
  return -1;
}

void Relay::Join(Device& device, Tunnel& tunnel, tcp::socket library_side, std::string to_device,
                 tcp::socket device_side, std::string to_library) {
  ++device.streams;
  zelmo::Pipe::Hooks hooks;
  hooks.counter = &device.bytes;
  hooks.to_b = tunnel.to_device;
  hooks.to_a = tunnel.from_device;
  Device* counted = &device;
  hooks.on_done = [counted] { --counted->streams; };
  auto& pipes = tunnel.pipes;
  pipes.erase(std::remove_if(pipes.begin(), pipes.end(),
                             [](const std::weak_ptr<zelmo::Pipe>& p) { return p.expired(); }),
              pipes.end());
  pipes.push_back(zelmo::Pipe::Start(std::move(library_side), std::move(device_side),
                                     std::move(to_device), std::move(to_library),
                                     std::move(hooks)));
}

// A spare counts only while the agent that made it is linked: a new or lost
// link drops the spares of the old one.
void Relay::OnSpare(tcp::socket socket, const std::string& sn, const std::string& secret,
                    std::string rest) {
  Device* device = FindDevice(sn);
  if (device == nullptr || !device->agent || device->link_secret.empty() ||
      !SameSecret(secret, device->link_secret) || !rest.empty() ||
      device->spares.size() >= kMaxSpares)
    return;
  device->spares.push_back(std::move(socket));
}

// An agent is taken as the device only once it has proved the device's secret;
// until then the device's current link, if any, stays as it is.
void Relay::OnAgent(tcp::socket socket, const std::string& sn, std::string rest) {
  Device* device = FindDevice(sn);
  std::string challenge = RandomKey();
  if (device == nullptr || challenge.empty())
    return;
  auto link = std::make_shared<LineLink>(std::move(socket), std::move(rest));
  std::weak_ptr<LineLink> weak = link;
  link->Start(
      [this, device, weak, challenge](const std::string& line) {
        auto self = weak.lock();
        if (self && device->agent == self)
          OnAgentLine(*device, line);
        else if (self)
          OnProof(*device, self, challenge, line);
      },
      [this, device, weak] { OnAgentGone(*device, weak.lock()); });
  link->SetIdleLimit(kGreetingLimit);
  link->Send(zelmo::MakeLine({zelmo::kCommandChallenge, challenge}));
}

void Relay::OnProof(Device& device, const std::shared_ptr<LineLink>& link,
                    const std::string& challenge, const std::string& line) {
  std::vector<std::string> words = zelmo::SplitWords(line);
  const std::string& secret = device.config->agent_secret;
  if (words.size() != 2 || words[0] != zelmo::kReplyProof || secret.empty() ||
      !SameSecret(words[1], AgentProof(secret, device.config->sn, challenge))) {
    return link->SendAndClose(zelmo::MakeLine({zelmo::kReplyDenied, "bad-proof"}));
  }
  Link(device, link);
}

// A linked agent speaks only of a direct path: its side of the set-up, which goes
// to the tunnel's control connection without the id, and its path reports.
void Relay::OnAgentLine(Device& device, const std::string& line) {
  std::vector<std::string> words = zelmo::SplitWords(line);
  if (words.size() >= 3 && words[0] == zelmo::kLineDirect) {
    Tunnel* tunnel = AgentTunnel(device, words[1]);
    if (tunnel == nullptr)
      return;
    const auto now = std::chrono::steady_clock::now();
    if (!SpendLine(tunnel->to_library, now)) {
      if (notes_ && TimeToNote(tunnel->to_library, now))
        notes_("tunnel " + tunnel->id + " of " + tunnel->sn +
               ": DIRECT lines from the agent over the rate bound, dropped");
      return;
    }
    words.erase(words.begin() + 1);
    tunnel->control->Send(zelmo::MakeLine(words));
  } else if (words.size() == 6 && words[0] == zelmo::kReportPath) {
    if (Tunnel* tunnel = AgentTunnel(device, words[1]))
      OnPathReport(*tunnel, words);
  }
}

// "PATH <tunnel id> <carrier> <address> <to device> <from device>". The counts
// are the agent's running totals: a report that came late does not lower them.
void Relay::OnPathReport(Tunnel& tunnel, const std::vector<std::string>& words) {
  zelmo::TunnelPath path;
  int64_t to_device = 0;
  int64_t from_device = 0;
  if (!zelmo::ParsePath(words[2], words[3] == "-" ? "" : words[3], path) ||
      !ParseByteCount(words[4], to_device) || !ParseByteCount(words[5], from_device))
    return;
  tunnel.path = path;
  tunnel.udp_to_device = std::max(tunnel.udp_to_device, to_device);
  tunnel.udp_from_device = std::max(tunnel.udp_from_device, from_device);
}

// The open tunnel of the agent's device that id names, or null. A tunnel that
// just closed is no surprise; another device's is, and is told of once a link.
Relay::Tunnel* Relay::AgentTunnel(Device& device, const std::string& id) {
  auto key = keys_by_id_.find(id);
  if (key == keys_by_id_.end())
    return nullptr;
  Tunnel& tunnel = *tunnels_.at(key->second);
  if (tunnel.sn == device.config->sn)
    return &tunnel;
  if (notes_ && !device.foreign_noted)
    notes_("device agent " + device.config->sn + " named tunnel " + id +
           " of another device; its lines are dropped");
  device.foreign_noted = true;
  return nullptr;
}

void Relay::Link(Device& device, const std::shared_ptr<LineLink>& link) {
  link->SetIdleLimit(std::chrono::seconds(0));
  if (device.agent) {
    std::shared_ptr<LineLink> replaced = std::move(device.agent);
    replaced->Close();
  }
  device.spares.clear();
  device.foreign_noted = false;
  device.link_secret = RandomKey();
  device.agent = link;
  link->Send(zelmo::MakeLine({zelmo::kReplyLinked, device.link_secret}));
  if (notes_)
    notes_("device agent " + device.config->sn + " linked");
}

// The device vanished: its tunnels close, as their streams cannot go on.
void Relay::OnAgentGone(Device& device, const std::shared_ptr<LineLink>& link) {
  if (!link || device.agent != link)
    return;
  device.agent = nullptr;
  device.spares.clear();
  CloseTunnelsOf(device.config->sn);
  if (notes_)
    notes_("device agent " + device.config->sn + " gone");
}

void Relay::CloseTunnel(const std::string& key) {
  auto found = tunnels_.find(key);
  if (found == tunnels_.end())
    return;
  std::unique_ptr<Tunnel> tunnel = std::move(found->second);
  tunnels_.erase(found);
  keys_by_id_.erase(tunnel->id);
  tunnel->control->Close();
  std::error_code ignored;
  for (auto& ready : tunnel->ready)
    ready->socket.close(ignored);
  for (auto& weak : tunnel->pipes) {
    if (auto pipe = weak.lock())
      pipe->Close();
  }
  for (auto it = pending_.begin(); it != pending_.end();) {
    it = it->second->key == key ? pending_.erase(it) : std::next(it);
  }
}

void Relay::CloseTunnelsOf(const std::string& sn) {
  std::vector<std::string> keys;
  for (const auto& entry : tunnels_) {
    if (entry.second->sn == sn)
      keys.push_back(entry.first);
  }
  for (const std::string& key : keys)
    CloseTunnel(key);
}

int Relay::SetOnline(const std::string& sn, bool online) {
  Device* device = FindDevice(sn);
  if (device == nullptr)
    return -1;
  device->enabled = online;
  if (!online)
    CloseTunnelsOf(sn);
  return 0;
}

int Relay::ReportNetInfo(const std::string& sn, int code, int count) {
  if (FindDevice(sn) == nullptr)
    return -1;
  std::string line =
      zelmo::MakeLine({zelmo::kEventNetInfo, std::to_string(code), std::to_string(count)});
  int reached = 0;
  for (const auto& entry : tunnels_) {
    if (entry.second->sn != sn)
      continue;
    entry.second->control->Send(line);
    ++reached;
  }
  return reached;
}

int Relay::Drop(const std::string& sn) {
  if (FindDevice(sn) == nullptr)
    return -1;
  CloseTunnelsOf(sn);
  return 0;
}

bool Relay::IsOnline(const std::string& sn) const {
  auto found = devices_.find(sn);
  return found != devices_.end() && found->second->enabled && found->second->agent != nullptr;
}

bool Relay::IsLinked(const std::string& sn) const {
  auto found = devices_.find(sn);
  return found != devices_.end() && found->second->agent != nullptr;
}

std::string Relay::TunnelManners(const std::string& sn) const {
  std::set<std::string> manners;
  for (const auto& entry : tunnels_) {
    if (entry.second->sn == sn)
      manners.insert(zelmo::PathManner(entry.second->path));
  }
  std::string text;
  for (const std::string& manner : manners)
    text += (text.empty() ? "" : ", ") + manner;
  return text;
}

nlohmann::json Relay::Stats() const {
  nlohmann::json open = nlohmann::json::array();
  for (const auto& entry : tunnels_) {
    const Tunnel& tunnel = *entry.second;
    const int64_t cloud_to = tunnel.to_device->load();
    const int64_t cloud_from = tunnel.from_device->load();
    open.push_back({{"sn", tunnel.sn},
                    {"path", zelmo::PathCarrier(tunnel.path)},
                    {"address", tunnel.path.address},
                    {"bytes_to_device", AddCounts(cloud_to, tunnel.udp_to_device)},
                    {"bytes_from_device", AddCounts(cloud_from, tunnel.udp_from_device)},
                    {"by_path",
                     {{"cloud", {{"bytes_to_device", cloud_to}, {"bytes_from_device", cloud_from}}},
                      {"udp",
                       {{"bytes_to_device", tunnel.udp_to_device},
                        {"bytes_from_device", tunnel.udp_from_device}}}}}});
  }
  nlohmann::json list = nlohmann::json::array();
  for (const AccountConfig& account : directory_.config().accounts) {
    for (const DeviceConfig& config : account.devices) {
      const Device& device = *devices_.at(config.sn);
      int tunnels = 0;
      std::size_t ready = 0;
      for (const auto& entry : tunnels_) {
        if (entry.second->sn != config.sn)
          continue;
        ++tunnels;
        ready += entry.second->ready.size();
      }
      list.push_back({{"sn", config.sn},
                      {"online", IsOnline(config.sn)},
                      {"agent", device.agent != nullptr},
                      {"tunnels", tunnels},
                      {"streams", device.streams},
                      {"spares", device.spares.size()},
                      {"ready", ready},
                      {"bytes", device.bytes.load()}});
    }
  }
  return {{"devices", list}, {"tunnels", open}, {"accept_errors", accept_errors_}};
}

void Relay::Close() {
  std::error_code ignored;
  acceptor_.close(ignored);
  accept_timer_.cancel();
  while (!tunnels_.empty()) {
    const std::string key = tunnels_.begin()->first;  // the entry goes with its tunnel
    CloseTunnel(key);
  }
  for (auto& entry : devices_) {
    if (auto agent = std::move(entry.second->agent))
      agent->Close();
    entry.second->spares.clear();
  }
  pending_.clear();
}

Relay::Device* Relay::FindDevice(const std::string& sn) {
  auto found = devices_.find(sn);
  return found == devices_.end() ? nullptr : found->second.get();
}

}  // namespace devcloud

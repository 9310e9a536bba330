// Device agent (see agent.h).
#include "devcloud/agent.h"

#include <algorithm>
#include <chrono>

#include "devcloud/secrets.h"
#include "zelmo/wire.h"

namespace devcloud {
namespace {

using asio::ip::tcp;

constexpr auto kRelinkPause = std::chrono::seconds(1);
// Spares kept ready at the relay: two, so that a stream that comes while the
// agent replaces a used one still finds one.
constexpr int kSpareCount = 2;
// Direct paths the agent answers at once: one per open tunnel, a few tunnels.
constexpr std::size_t kMaxDirectPaths = 16;
// How often the relay hears how the direct paths carry their bytes.
constexpr auto kReportInterval = std::chrono::seconds(1);

// Connects to the relay and sends one hello line; done(socket) on success,
// done(nullptr) on failure.
void Introduce(asio::io_context& io, const tcp::endpoint& relay, const std::string& hello,
               std::function<void(std::shared_ptr<tcp::socket>)> done) {
  auto socket = std::make_shared<tcp::socket>(io);
  auto line = std::make_shared<std::string>(hello);
  socket->async_connect(relay, [socket, line, done](std::error_code ec) {
    if (ec)
      return done(nullptr);
    std::error_code ignored;
    socket->set_option(tcp::no_delay(true), ignored);
    asio::async_write(
        *socket, asio::buffer(*line),
        [socket, line, done](std::error_code ec2, std::size_t) { done(ec2 ? nullptr : socket); });
  });
}

}  // namespace

Agent::Agent(asio::io_context& io, DeviceInfo device, std::string secret, tcp::endpoint relay,
             Notes notes)
    : io_(io),
      device_(std::move(device)),
      secret_(std::move(secret)),
      relay_(relay),
      notes_(std::move(notes)),
      web_(device_),
      services_(device_),
      retry_(io),
      report_(io) {}

Agent::~Agent() {
  Stop();
}

int Agent::Start() {
  if (web_.Start() != 0)
    return -1;
  services_.SetWebPort(web_.port());
  Connect();
  return 0;
}

void Agent::Stop() {
  stopped_ = true;
  retry_.cancel();
  CloseDirect();
  if (link_)
    link_->Close();
  link_.reset();
  std::error_code ignored;
  for (auto& spare : spares_)
    spare->close(ignored);
  spares_.clear();
  for (auto& acceptor : exposed_)
    acceptor->close(ignored);
  services_.Stop();
  web_.Stop();
}

void Agent::Connect() {
  Introduce(io_, relay_, zelmo::MakeLine({zelmo::kHelloAgent, device_.sn}),
            [this](std::shared_ptr<tcp::socket> socket) {
              if (stopped_)
                return;
              if (!socket)
                return ConnectLater();
              link_ = std::make_shared<LineLink>(std::move(*socket), std::string());
              link_->Start([this](const std::string& line) { OnLine(line); },
                           [this] { ConnectLater(); });
            });
}

void Agent::ConnectLater() {
  if (stopped_)
    return;
  if (linked_ && notes_)
    notes_("device agent " + device_.sn + " lost the relay; linking again");
  linked_ = false;
  // The relay closes the device's tunnels with the link, and their paths go too.
  CloseDirect();
  retry_.expires_after(kRelinkPause);
  retry_.async_wait([this](std::error_code ec) {
    if (!ec && !stopped_)
      Connect();
  });
}

void Agent::OnLine(const std::string& line) {
  std::vector<std::string> words = zelmo::SplitWords(line);
  if (words.size() == 3 && words[0] == zelmo::kCommandOpen) {
    OpenData(words[1], words[2]);
  } else if (words.size() == 2 && words[0] == zelmo::kCommandChallenge) {
    link_->Send(zelmo::MakeLine({zelmo::kReplyProof, AgentProof(secret_, device_.sn, words[1])}));
  } else if (words.size() == 2 && words[0] == zelmo::kReplyLinked) {
    RenewSpares(words[1]);
  } else if (words.size() == 2 && words[0] == zelmo::kReplyDenied) {
    Refuse(words[1]);
  } else if (words.size() >= 4 && words[0] == zelmo::kLineDirect) {
    OnDirect(words);
  }
}

// "DIRECT <tunnel> <word>...": a library's offer starts the tunnel's path
// afresh; the rest goes to the path of that tunnel.
void Agent::OnDirect(const std::vector<std::string>& words) {
  const std::string tunnel = words[1];
  std::vector<std::string> rest(words.begin() + 2, words.end());
  auto found = direct_.find(tunnel);
  if (rest[0] == "OFFER") {
    if (found != direct_.end()) {
      found->second.link->Close();
      direct_.erase(found);
    }
    if (direct_.size() >= kMaxDirectPaths)
      return;
    zelmo::TurnServer turn;
    if (!turn_.address.empty()) {
      const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
      nlohmann::json credentials = TurnCredentials(turn_, device_.sn, now);
      turn = zelmo::TurnServer{credentials["address"], credentials["username"],
                               credentials["password"]};
    }
    zelmo::DirectLink::Events events;
    events.send = [this, tunnel](const std::vector<std::string>& out) {
      std::vector<std::string> line{zelmo::kLineDirect, tunnel};
      line.insert(line.end(), out.begin(), out.end());
      if (link_)
        link_->Send(zelmo::MakeLine(line));
    };
    events.path = [this, tunnel](const zelmo::TunnelPath& path, bool usable) {
      auto entry = direct_.find(tunnel);
      if (entry != direct_.end())
        entry->second.path = usable ? path : zelmo::TunnelPath{};
      ReportPaths();
    };
    events.ended = [this, tunnel](const std::string&) {
      asio::post(io_, [this, tunnel] {
        auto entry = direct_.find(tunnel);
        if (entry == direct_.end())
          return;
        entry->second.link->Close();
        entry->second.path = zelmo::TunnelPath{};
        ReportPaths();
        direct_.erase(tunnel);
      });
    };
    events.service = [this](const std::string& service, tcp::endpoint& at) {
      return DirectService(service, at);
    };
    Direct entry;
    entry.counters = std::make_shared<zelmo::DirectCounters>();
    entry.link = std::make_shared<zelmo::DirectLink>(io_, zelmo::DirectLink::Side::kAgent, turn,
                                                     entry.counters, std::move(events));
    found = direct_.emplace(tunnel, std::move(entry)).first;
    if (direct_.size() == 1)
      ReportPaths();
  } else if (found == direct_.end()) {
    return;
  }
  auto link = found->second.link;
  link->OnLine(rest);
}

// A direct stream reaches the device's services the way a reader beside the
// device would: through their loopback ports, opened once.
bool Agent::DirectService(const std::string& service, tcp::endpoint& at) {
  if (exposed_ports_.empty())
    exposed_ports_ = ExposeServices();
  for (const auto& entry : exposed_ports_) {
    if (entry.first == service) {
      at = tcp::endpoint(asio::ip::address_v4::loopback(), entry.second);
      return true;
    }
  }
  return false;
}

// "PATH" for every path whose state or counts changed, now and every second
// while any path lives.
void Agent::ReportPaths() {
  for (auto& entry : direct_) {
    Direct& direct = entry.second;
    const std::string address = direct.path.address.empty() ? "-" : direct.path.address;
    std::string line =
        zelmo::MakeLine({zelmo::kReportPath, entry.first, zelmo::PathCarrier(direct.path), address,
                         std::to_string(direct.counters->to_device.load()),
                         std::to_string(direct.counters->from_device.load())});
    if (line != direct.reported && link_) {
      direct.reported = line;
      link_->Send(line);
    }
  }
  if (direct_.empty() || stopped_) {
    report_.cancel();
    return;
  }
  if (report_.expiry() > std::chrono::steady_clock::now())
    return;
  report_.expires_after(kReportInterval);
  report_.async_wait([this](std::error_code ec) {
    if (!ec)
      ReportPaths();
  });
}

void Agent::CloseDirect() {
  for (auto& entry : direct_)
    entry.second.link->Close();
  direct_.clear();
  report_.cancel();
}

// The secret will not change while the agent runs: trying again would only
// knock at the relay every second.
void Agent::Refuse(const std::string& why) {
  if (notes_)
    notes_("device agent " + device_.sn + " refused by the relay: " + why);
  Stop();
  if (refused_) {
    Refused refused = std::move(refused_);
    refused_ = nullptr;
    refused(why);
  }
}

// Spares left from an earlier link are void at the relay: a full new set.
void Agent::RenewSpares(const std::string& secret) {
  if (!linked_ && notes_)
    notes_("device agent " + device_.sn + " linked to the relay");
  linked_ = true;
  link_secret_ = secret;
  std::error_code ignored;
  for (auto& spare : spares_)
    spare->close(ignored);
  spares_.clear();
  OpenSpares();
}

void Agent::OpenSpares() {
  while (spares_opening_ + static_cast<int>(spares_.size()) < kSpareCount)
    OpenSpare();
}

// A spare waits at the relay until a stream takes it; the relay then writes the
// fixed-size "SERVE" header and the stream's bytes follow.
void Agent::OpenSpare() {
  ++spares_opening_;
  Introduce(io_, relay_, zelmo::MakeLine({zelmo::kHelloSpare, device_.sn, link_secret_}),
            [this](std::shared_ptr<tcp::socket> socket) {
              --spares_opening_;
              if (stopped_ || !socket)
                return;
              spares_.push_back(socket);
              auto header = std::make_shared<std::string>(zelmo::kSpareHeaderLength, '\0');
              asio::async_read(*socket, asio::buffer(*header),
                               [this, socket, header](std::error_code ec, std::size_t) {
                                 OnSpareTaken(socket, ec ? std::string() : *header);
                               });
            });
}

// An empty header: the spare ended unused (relay gone, link replaced). Only a
// used spare is replaced here; a new link asks for a full set.
void Agent::OnSpareTaken(const std::shared_ptr<tcp::socket>& socket, const std::string& header) {
  spares_.erase(std::remove(spares_.begin(), spares_.end(), socket), spares_.end());
  std::string service;
  if (stopped_ || !zelmo::ParseSpareHeader(header, service))
    return;
  services_.Serve(service, std::move(*socket));
  if (linked_)
    OpenSpares();
}

void Agent::OpenData(const std::string& id, const std::string& service) {
  Introduce(io_, relay_, zelmo::MakeLine({zelmo::kHelloData, id}),
            [this, service](std::shared_ptr<tcp::socket> socket) {
              if (stopped_ || !socket)
                return;
              services_.Serve(service, std::move(*socket));
            });
}

std::vector<std::pair<std::string, uint16_t>> Agent::ExposeServices() {
  if (!exposed_ports_.empty())
    return exposed_ports_;
  std::vector<std::pair<std::string, uint16_t>> ports;
  for (const char* service : zelmo::kServiceNames) {
    if (std::string(service) == "HttpPort") {
      ports.emplace_back(service, web_.port());
      continue;
    }
    auto acceptor = std::make_unique<tcp::acceptor>(io_);
    std::error_code ec;
    tcp::endpoint at(asio::ip::address_v4::loopback(), 0);
    acceptor->open(at.protocol(), ec);
    if (!ec)
      acceptor->bind(at, ec);
    if (!ec)
      acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
      return {};
    ports.emplace_back(service, acceptor->local_endpoint(ec).port());
    exposed_.push_back(std::move(acceptor));
    AcceptExposed(*exposed_.back(), service);
  }
  exposed_ports_ = ports;
  return ports;
}

void Agent::AcceptExposed(tcp::acceptor& acceptor, const std::string& service) {
  acceptor.async_accept([this, &acceptor, service](std::error_code ec, tcp::socket socket) {
    if (ec || stopped_)
      return;
    services_.Serve(service, std::move(socket));
    AcceptExposed(acceptor, service);
  });
}

}  // namespace devcloud

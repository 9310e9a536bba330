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
      retry_(io) {}

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
  }
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

// Relay first, then the direct path (see direct_transport.h).
#include "zelmo/direct_transport.h"

#include <algorithm>

#include "zelmo/log.h"

namespace zelmo {
namespace {

constexpr std::chrono::seconds kFirstRetry(5);
constexpr std::chrono::seconds kLongestRetry(60);

}  // namespace

DirectTransport::DirectTransport(asio::io_context& io, std::unique_ptr<Transport> relay,
                                 TurnServer turn, std::atomic<int64_t>* counter, Events events)
    : io_(io),
      relay_(std::move(relay)),
      turn_(std::move(turn)),
      counters_(std::make_shared<DirectCounters>()),
      events_(std::move(events)),
      retry_(io),
      pause_(kFirstRetry),
      path_(relay_->path()) {
  counters_->total = counter;
}

DirectTransport::~DirectTransport() {
  Close();
}

// A cloud without a STUN and TURN server offers no direct paths: without it
// only peers on one network could find each other.
void DirectTransport::Start() {
  if (!turn_.address.empty())
    Attempt();
}

void DirectTransport::Attempt() {
  if (closed_)
    return;
  DirectLink::Events events;
  events.send = [this](const std::vector<std::string>& words) { events_.send(words); };
  events.path = [this](const TunnelPath& path, bool usable) {
    if (usable)
      pause_ = kFirstRetry;
    SetPath(usable ? path : relay_->path());
  };
  events.ended = [this](const std::string& why) {
    // Not from within the link's own call: it is let go of here.
    asio::post(io_, [this, why] { OnEnded(why); });
  };
  link_ = std::make_shared<DirectLink>(io_, DirectLink::Side::kLibrary, turn_, counters_,
                                       std::move(events));
  link_->Offer(++attempt_);
}

void DirectTransport::OnEnded(const std::string& why) {
  if (closed_ || !link_)
    return;
  link_->Close();
  link_.reset();
  SetPath(relay_->path());
  Log(kLogProgress, "Zelmo: direct path not available (%s); next try in %lld s", why.c_str(),
      static_cast<long long>(pause_.count()));
  retry_.expires_after(pause_);
  pause_ = std::min(pause_ * 2, kLongestRetry);
  retry_.async_wait([this](std::error_code ec) {
    if (!ec)
      Attempt();
  });
}

void DirectTransport::OnLine(const std::vector<std::string>& words) {
  if (link_)
    link_->OnLine(words);
}

void DirectTransport::Carry(asio::ip::tcp::socket local, const std::string& service,
                            std::shared_ptr<void> stream) {
  if (link_ && link_->Carry(local, service, stream))
    return;
  relay_->Carry(std::move(local), service, std::move(stream));
}

void DirectTransport::Close() {
  if (closed_)
    return;
  closed_ = true;
  retry_.cancel();
  if (link_)
    link_->Close();
  link_.reset();
  relay_->Close();
}

void DirectTransport::SetPath(const TunnelPath& path) {
  if (path == path_)
    return;
  path_ = path;
  if (events_.path)
    events_.path(path);
}

}  // namespace zelmo

// A tunnel's direct path (see direct_link.h).
#include "zelmo/direct_link.h"

#include <re.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/digest.h"
#include "platform/text.h"
#include "zelmo/direct_engine.h"
#include "zelmo/direct_sctp.h"

namespace zelmo {
namespace {

using asio::ip::tcp;

// Message kinds on the path. Every message of a stream starts with the
// stream's token, so that a late message of an ended stream never reaches
// the next stream on the same number.
constexpr uint32_t kOpen = 1;    // token, service name
constexpr uint32_t kData = 2;    // token, bytes
constexpr uint32_t kFin = 3;     // token: the sender sends no more
constexpr uint32_t kCredit = 4;  // token, 4 bytes: the sender may send that much more
constexpr uint32_t kReset = 5;   // token: the stream is over
constexpr uint32_t kPing = 6;    // on number 0
constexpr uint32_t kPong = 7;    // on number 0

constexpr std::size_t kReadPiece = 16 * 1024;
// Credit goes back once this much was written to the local socket.
constexpr std::size_t kGrantStep = kStreamWindow / 8;
constexpr uint32_t kPingIntervalMs = 500;
constexpr uint64_t kLostAfterMs = 1500;
constexpr uint64_t kEndedAfterMs = 10000;
// From the offer to a working association.
constexpr uint32_t kSetUpLimitMs = 20000;

void PutWord(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((value >> shift) & 0xff));
}

uint32_t GetWord(const std::string& in, std::size_t at) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<uint8_t>(in[at + i]);
  return value;
}

std::string WithToken(uint32_t token, const std::string& rest = std::string()) {
  std::string out;
  out.reserve(4 + rest.size());
  PutWord(out, token);
  out += rest;
  return out;
}

std::string Hex(const uint8_t* data, std::size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

bool FromHex(const std::string& text, StreamKey& key) {
  if (text.size() != 2 * key.size())
    return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    int value = 0;
    for (char c : text.substr(2 * i, 2)) {
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0)
        return false;
      value = value * 16 + digit;
    }
    key[i] = static_cast<uint8_t>(value);
  }
  return true;
}

// Candidates travel as protocol words: their blanks become commas.
std::string ToWord(std::string text) {
  std::replace(text.begin(), text.end(), ' ', ',');
  return text;
}
std::string FromWord(std::string word) {
  std::replace(word.begin(), word.end(), ',', ' ');
  return word;
}

bool ParseAttempt(const std::string& word, int& attempt) {
  long long value = 0;
  if (!platform::ParseWholeDecimal(word.c_str(), 0, 1000000, &value))
    return false;
  attempt = static_cast<int>(value);
  return true;
}

}  // namespace

// Hands work from the engine's thread to the owner's io thread, for as long as
// the link is not closed.
class DirectLink::Bridge {
 public:
  Bridge(asio::io_context& io, std::weak_ptr<DirectLink> link) : io_(&io), link_(std::move(link)) {}

  template <typename F>
  void Post(F work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!io_)
      return;
    asio::post(*io_, [link = link_, work = std::move(work)]() mutable {
      auto self = link.lock();
      if (self && !self->closed_)
        work(*self);
    });
  }

  void Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    io_ = nullptr;
  }

 private:
  std::mutex mutex_;
  asio::io_context* io_;
  std::weak_ptr<DirectLink> link_;
};

// The path's side on the engine's thread: ICE, then SCTP over its pair.
struct DirectLink::Engine : std::enable_shared_from_this<DirectLink::Engine> {
  struct Message {
    uint16_t sid;
    uint32_t kind;
    std::string payload;
  };

  std::shared_ptr<Bridge> bridge;
  bool controlling = false;
  TurnServer turn;
  StreamKey key{};
  int attempt = 0;
  std::unique_ptr<IceSession> ice;
  std::unique_ptr<SctpAssociation> sctp;
  std::deque<Message> queue;
  bool waiting_for_room = false;
  tmr ping{};
  tmr limit{};
  uint64_t last_heard = 0;
  bool checked = false;     // ICE chose a pair
  bool peer_ready = false;  // the agent's side listens
  bool up = false;
  bool confirmed = false;  // a message of the peer came over the association
  bool lost = false;
  bool ended = false;
  TunnelPath path;

  Engine() {
    tmr_init(&ping);
    tmr_init(&limit);
  }

  void Gather() {
    auto self = shared_from_this();
    std::weak_ptr<Engine> weak = self;
    IceSession::Events events;
    events.gathered = [weak](const IceDescription& local) {
      if (auto engine = weak.lock()) {
        const int attempt = engine->attempt;
        engine->bridge->Post(
            [attempt, local](DirectLink& link) { link.SendDescription(attempt, local); });
      }
    };
    events.checked = [weak](bool ok) {
      if (auto engine = weak.lock())
        engine->OnChecked(ok);
    };
    events.datagram = [weak](const uint8_t* data, std::size_t length) {
      auto engine = weak.lock();
      if (engine && engine->sctp)
        engine->sctp->Input(data, length);
    };
    ice = std::make_unique<IceSession>(controlling, turn, std::move(events));
    tmr_start(&limit, kSetUpLimitMs, OnSetUpLimit, this);
    std::string why;
    if (ice->Start(why) != 0)
      End(why);
  }

  static void OnSetUpLimit(void* arg) {
    auto* engine = static_cast<Engine*>(arg);
    if (!engine->confirmed)
      engine->End("no path within 20 s");
  }

  void Check(const IceDescription& remote) {
    std::string why;
    if (!ended && ice && ice->Check(remote, why) != 0)
      End(why);
  }

  // The agent's side listens as soon as its checks end and says so; the
  // library's side connects once both its checks ended and the agent is
  // listening, so its first packet finds the other end ready.
  void OnChecked(bool ok) {
    if (ended)
      return;
    if (!ok)
      return End("no candidate pair answered");
    checked = true;
    if (!controlling) {
      StartSctp();
      const int number = attempt;
      if (!ended)
        bridge->Post([number](DirectLink& link) { link.SendReady(number); });
    } else if (peer_ready) {
      StartSctp();
    }
  }

  void OnPeerReady() {
    peer_ready = true;
    if (controlling && checked && !sctp && !ended)
      StartSctp();
  }

  void StartSctp() {
    std::weak_ptr<Engine> weak = shared_from_this();
    SctpAssociation::Events events;
    events.packet = [weak](const uint8_t* data, std::size_t length) {
      auto engine = weak.lock();
      if (engine && engine->ice)
        engine->ice->Send(data, length);
    };
    events.up = [weak] {
      if (auto engine = weak.lock())
        engine->OnUp();
    };
    events.message = [weak](uint16_t sid, uint32_t kind, std::string payload) {
      if (auto engine = weak.lock())
        engine->OnMessage(sid, kind, std::move(payload));
    };
    events.writable = [weak] {
      if (auto engine = weak.lock()) {
        engine->waiting_for_room = false;
        engine->Flush();
      }
    };
    events.down = [weak] {
      if (auto engine = weak.lock())
        engine->End("the association ended");
    };
    sctp = std::make_unique<SctpAssociation>(controlling, key, std::move(events));
    if (sctp->Start() != 0)
      End("SCTP could not start");
  }

  // The association is up, but streams wait for the first word of the peer
  // on it: that proves messages pass both ways, not just the handshake.
  void OnUp() {
    up = true;
    last_heard = tmr_jiffies();
    path = ice->Path();
    Queue(0, kPing, std::string(8, '\0'));
    tmr_start(&ping, kPingIntervalMs, OnPingTimer, this);
  }

  static void OnPingTimer(void* arg) {
    auto* engine = static_cast<Engine*>(arg);
    const uint64_t silent = tmr_jiffies() - engine->last_heard;
    if (silent >= kEndedAfterMs)
      return engine->End("the peer stopped answering");
    if (silent >= kLostAfterMs && !engine->lost && engine->confirmed) {
      engine->lost = true;
      engine->bridge->Post([](DirectLink& link) { link.OnPathState(TunnelPath(), false); });
    }
    if (!engine->waiting_for_room)
      engine->Queue(0, kPing, std::string(8, '\0'));
    tmr_start(&engine->ping, kPingIntervalMs, OnPingTimer, engine);
  }

  void OnMessage(uint16_t sid, uint32_t kind, std::string payload) {
    if (!up)
      return;  // only a ping can come this early; the next one is answered
    last_heard = tmr_jiffies();
    if (!confirmed) {
      confirmed = true;
      tmr_cancel(&limit);
      const TunnelPath now = path;
      bridge->Post([now](DirectLink& link) { link.OnPathState(now, true); });
    } else if (lost) {
      lost = false;
      const TunnelPath now = path;
      bridge->Post([now](DirectLink& link) { link.OnPathState(now, true); });
    }
    if (sid == 0) {
      if (kind == kPing && payload.size() <= 64)
        Queue(0, kPong, std::move(payload));
      return;
    }
    bridge->Post([sid, kind, payload = std::move(payload)](DirectLink& link) mutable {
      link.OnMessage(sid, kind, std::move(payload));
    });
  }

  void Queue(uint16_t sid, uint32_t kind, std::string payload) {
    if (ended || !up)
      return;
    queue.push_back(Message{sid, kind, std::move(payload)});
    Flush();
  }

  void Flush() {
    while (!queue.empty() && !waiting_for_room && !ended) {
      const Message& next = queue.front();
      const int sent = sctp->Send(next.sid, next.kind, next.payload.data(), next.payload.size());
      if (sent == 1) {
        waiting_for_room = true;
        return;
      }
      if (sent < 0)
        return End("a message could not be sent");
      queue.pop_front();
    }
  }

  // Ends the path from within its own callbacks: what it owns goes away later.
  void End(const std::string& why) {
    if (ended)
      return;
    ended = true;
    tmr_cancel(&ping);
    tmr_cancel(&limit);
    queue.clear();
    bridge->Post([why](DirectLink& link) { link.OnEnded(why); });
    auto self = shared_from_this();
    PostToEngine([self] { self->Teardown(); });
  }

  void Teardown() {
    ended = true;
    tmr_cancel(&ping);
    tmr_cancel(&limit);
    queue.clear();
    sctp.reset();
    ice.reset();
  }
};

struct DirectLink::Stream {
  explicit Stream(tcp::socket s) : socket(std::move(s)) {}
  tcp::socket socket;
  uint16_t sid = 0;
  uint32_t token = 0;
  std::shared_ptr<void> hold;
  bool connected = true;
  std::size_t credit = kStreamWindow;
  bool reading = false;
  bool sent_fin = false;
  std::deque<std::string> outbox;
  std::size_t outbox_bytes = 0;
  bool writing = false;
  bool peer_fin = false;
  bool shut = false;
  std::size_t ungranted = 0;
  std::array<char, kReadPiece> buffer;
};

DirectLink::DirectLink(asio::io_context& io, Side side, TurnServer turn,
                       std::shared_ptr<DirectCounters> counters, Events events)
    : io_(io),
      side_(side),
      turn_(std::move(turn)),
      counters_(std::move(counters)),
      events_(std::move(events)) {}

// The engine's part is torn down on its own thread, whoever lets go last.
DirectLink::~DirectLink() {
  if (bridge_)
    bridge_->Detach();
  if (auto engine = std::move(engine_))
    PostToEngine([engine] { engine->Teardown(); });
}

void DirectLink::Offer(int attempt) {
  if (side_ != Side::kLibrary || engine_ || closed_)
    return;
  StreamKey key{};
  if (platform::RandomBytes(key.data(), key.size()) != 0)
    return OnEnded("no random key");
  key_hex_ = Hex(key.data(), key.size());
  Begin(attempt);
  engine_->key = key;
  auto engine = engine_;
  if (!PostToEngine([engine] { engine->Gather(); }))
    OnEnded("the direct path's thread did not start");
}

void DirectLink::Begin(int attempt) {
  attempt_ = attempt;
  bridge_ = std::make_shared<Bridge>(io_, weak_from_this());
  engine_ = std::make_shared<Engine>();
  engine_->bridge = bridge_;
  engine_->controlling = side_ == Side::kLibrary;
  engine_->turn = turn_;
  engine_->attempt = attempt;
}

void DirectLink::OnLine(const std::vector<std::string>& words) {
  int attempt = 0;
  if (closed_ || words.size() < 2 || !ParseAttempt(words[1], attempt))
    return;
  const std::string& what = words[0];
  if (what == "OFFER" && side_ == Side::kAgent && !engine_ && words.size() == 5) {
    StreamKey key{};
    if (!FromHex(words[4], key))
      return OnEnded("the offer's key is unusable");
    Begin(attempt);
    engine_->key = key;
    remote_.ufrag = words[2];
    remote_.password = words[3];
    auto engine = engine_;
    if (!PostToEngine([engine] { engine->Gather(); }))
      OnEnded("the direct path's thread did not start");
    return;
  }
  if (attempt != attempt_ || !engine_)
    return;
  if (what == "ANSWER" && side_ == Side::kLibrary && words.size() == 4) {
    remote_.ufrag = words[2];
    remote_.password = words[3];
  } else if (what == "CAND" && words.size() == 3 && !remote_complete_) {
    if (remote_.candidates.size() < kMaxCandidates)
      remote_.candidates.push_back(FromWord(words[2]));
  } else if (what == "END" && words.size() == 2 && !remote_complete_) {
    remote_complete_ = true;
    if (side_ == Side::kLibrary || described_) {
      auto engine = engine_;
      IceDescription remote = remote_;
      PostToEngine([engine, remote] { engine->Check(remote); });
    }
  } else if (what == "READY" && words.size() == 2 && side_ == Side::kLibrary) {
    auto engine = engine_;
    PostToEngine([engine] { engine->OnPeerReady(); });
  } else if (what == "FAIL" && words.size() == 2) {
    OnEnded("the peer gave up");
  }
}

void DirectLink::SendDescription(int attempt, const IceDescription& local) {
  if (attempt != attempt_)
    return;
  const std::string number = std::to_string(attempt);
  if (side_ == Side::kLibrary)
    events_.send({"OFFER", number, local.ufrag, local.password, key_hex_});
  else
    events_.send({"ANSWER", number, local.ufrag, local.password});
  for (const std::string& candidate : local.candidates)
    events_.send({"CAND", number, ToWord(candidate)});
  events_.send({"END", number});
  if (side_ == Side::kAgent) {
    described_ = true;
    if (remote_complete_) {
      auto engine = engine_;
      IceDescription remote = remote_;
      PostToEngine([engine, remote] { engine->Check(remote); });
    }
  }
}

void DirectLink::SendReady(int attempt) {
  if (attempt == attempt_)
    events_.send({"READY", std::to_string(attempt)});
}

bool DirectLink::Carry(tcp::socket& local, const std::string& service, std::shared_ptr<void> hold) {
  if (!usable_ || closed_ || side_ != Side::kLibrary)
    return false;
  uint16_t sid = 1;
  while (sid <= kMaxSctpStreams && sids_.count(sid))
    ++sid;
  if (sid > kMaxSctpStreams)
    return false;
  auto stream = std::make_shared<Stream>(std::move(local));
  stream->sid = sid;
  stream->token = next_token_++;
  stream->hold = std::move(hold);
  streams_[stream->token] = stream;
  sids_[sid] = stream->token;
  ToEngine(sid, kOpen, WithToken(stream->token, service));
  ReadLocal(stream);
  return true;
}

void DirectLink::Close() {
  if (closed_)
    return;
  closed_ = true;
  usable_ = false;
  auto streams = streams_;
  for (auto& entry : streams)
    Reset(entry.second, false);
  if (bridge_)
    bridge_->Detach();
  if (auto engine = engine_)
    PostToEngine([engine] { engine->Teardown(); });
}

void DirectLink::ToEngine(uint16_t sid, uint32_t kind, std::string payload) {
  auto engine = engine_;
  PostToEngine([engine, sid, kind, payload = std::move(payload)]() mutable {
    engine->Queue(sid, kind, std::move(payload));
  });
}

std::shared_ptr<DirectLink::Stream> DirectLink::Find(uint16_t sid, uint32_t token) const {
  auto found = streams_.find(token);
  if (found == streams_.end() || found->second->sid != sid)
    return nullptr;
  return found->second;
}

void DirectLink::OnMessage(uint16_t sid, uint32_t kind, std::string payload) {
  if (kind == kBrokenMessage) {
    auto current = sids_.find(sid);
    if (current != sids_.end())
      Reset(streams_.at(current->second), true);
    return;
  }
  if (payload.size() < 4)
    return;
  const uint32_t token = GetWord(payload, 0);
  if (kind == kOpen) {
    if (side_ == Side::kAgent && !streams_.count(token))
      Accept(sid, token, payload.substr(4));
    return;
  }
  auto stream = Find(sid, token);
  if (!stream)
    return;  // a late word of a stream already gone
  switch (kind) {
    case kData: {
      const std::size_t length = payload.size() - 4;
      if (stream->outbox_bytes + length > kStreamWindow || stream->peer_fin)
        return Reset(stream, true);  // more than the credit given
      stream->outbox.push_back(payload.substr(4));
      stream->outbox_bytes += length;
      WriteLocal(stream);
      break;
    }
    case kFin:
      stream->peer_fin = true;
      WriteLocal(stream);
      FinishIfDone(stream);
      break;
    case kCredit: {
      if (payload.size() != 8)
        return Reset(stream, true);
      const std::size_t more = GetWord(payload, 4);
      if (stream->credit + more > kStreamWindow)
        return Reset(stream, true);
      stream->credit += more;
      ReadLocal(stream);
      break;
    }
    case kReset:
      Reset(stream, false);
      break;
    default:
      break;
  }
}

// Agent side: a new stream from the library, served by the device's service.
void DirectLink::Accept(uint16_t sid, uint32_t token, const std::string& service) {
  tcp::endpoint at;
  if (!events_.service || !events_.service(service, at)) {
    ToEngine(sid, kReset, WithToken(token));
    return;
  }
  auto stream = std::make_shared<Stream>(tcp::socket(io_));
  stream->sid = sid;
  stream->token = token;
  stream->connected = false;
  streams_[token] = stream;
  sids_[sid] = token;  // a stream still draining on this number keeps its token
  auto self = shared_from_this();
  stream->socket.async_connect(at, [self, stream](std::error_code ec) {
    if (self->closed_ || !self->streams_.count(stream->token))
      return;
    if (ec)
      return self->Reset(stream, true);
    stream->connected = true;
    self->ReadLocal(stream);
    self->WriteLocal(stream);
    self->FinishIfDone(stream);
  });
}

void DirectLink::ReadLocal(const std::shared_ptr<Stream>& stream) {
  if (stream->reading || stream->sent_fin || stream->credit == 0 || !stream->connected)
    return;
  stream->reading = true;
  const std::size_t size = std::min(stream->buffer.size(), stream->credit);
  auto self = shared_from_this();
  stream->socket.async_read_some(
      asio::buffer(stream->buffer.data(), size), [self, stream](std::error_code ec, std::size_t n) {
        stream->reading = false;
        if (self->closed_ || !self->streams_.count(stream->token))
          return;
        if (n > 0) {
          stream->credit -= n;
          auto& counter = self->side_ == Side::kLibrary ? self->counters_->to_device
                                                        : self->counters_->from_device;
          counter += static_cast<int64_t>(n);
          if (self->counters_->total)
            *self->counters_->total += static_cast<int64_t>(n);
          self->ToEngine(stream->sid, kData,
                         WithToken(stream->token, std::string(stream->buffer.data(), n)));
        }
        if (ec == asio::error::eof) {
          stream->sent_fin = true;
          self->ToEngine(stream->sid, kFin, WithToken(stream->token));
          return self->FinishIfDone(stream);
        }
        if (ec)
          return self->Reset(stream, true);
        self->ReadLocal(stream);
      });
}

void DirectLink::WriteLocal(const std::shared_ptr<Stream>& stream) {
  if (stream->writing || !stream->connected)
    return;
  if (stream->outbox.empty()) {
    if (stream->peer_fin && !stream->shut) {
      stream->shut = true;
      std::error_code ignored;
      stream->socket.shutdown(tcp::socket::shutdown_send, ignored);
    }
    return;
  }
  stream->writing = true;
  auto self = shared_from_this();
  asio::async_write(stream->socket, asio::buffer(stream->outbox.front()),
                    [self, stream](std::error_code ec, std::size_t n) {
                      stream->writing = false;
                      if (self->closed_ || !self->streams_.count(stream->token))
                        return;
                      if (ec)
                        return self->Reset(stream, true);
                      stream->outbox.pop_front();
                      stream->outbox_bytes -= n;
                      auto& counter = self->side_ == Side::kLibrary ? self->counters_->from_device
                                                                    : self->counters_->to_device;
                      counter += static_cast<int64_t>(n);
                      if (self->counters_->total)
                        *self->counters_->total += static_cast<int64_t>(n);
                      self->Grant(stream, n);
                      self->WriteLocal(stream);
                      self->FinishIfDone(stream);
                    });
}

void DirectLink::Grant(const std::shared_ptr<Stream>& stream, std::size_t bytes) {
  stream->ungranted += bytes;
  if (stream->ungranted < kGrantStep || stream->peer_fin)
    return;
  std::string payload = WithToken(stream->token);
  PutWord(payload, static_cast<uint32_t>(stream->ungranted));
  stream->ungranted = 0;
  ToEngine(stream->sid, kCredit, std::move(payload));
}

void DirectLink::FinishIfDone(const std::shared_ptr<Stream>& stream) {
  if (!stream->sent_fin || !stream->peer_fin || !stream->outbox.empty() || stream->writing)
    return;
  std::error_code ignored;
  stream->socket.close(ignored);
  Forget(stream);
}

// An abrupt end: the local side sees a reset, not a clean end of its bytes.
void DirectLink::Reset(const std::shared_ptr<Stream>& stream, bool tell_peer) {
  if (!stream)
    return;
  if (tell_peer && !closed_)
    ToEngine(stream->sid, kReset, WithToken(stream->token));
  std::error_code ignored;
  stream->socket.set_option(asio::socket_base::linger(true, 0), ignored);
  stream->socket.close(ignored);
  Forget(stream);
}

void DirectLink::Forget(const std::shared_ptr<Stream>& stream) {
  streams_.erase(stream->token);
  auto current = sids_.find(stream->sid);
  if (current != sids_.end() && current->second == stream->token)
    sids_.erase(current);
  stream->hold.reset();
}

void DirectLink::OnPathState(const TunnelPath& path, bool usable) {
  usable_ = usable;
  events_.path(path, usable);
}

void DirectLink::OnEnded(const std::string& why) {
  if (closed_)
    return;
  usable_ = false;
  auto streams = streams_;
  for (auto& entry : streams)
    Reset(entry.second, false);
  if (side_ == Side::kLibrary || engine_)
    events_.send({"FAIL", std::to_string(attempt_)});
  auto ended = events_.ended;
  if (ended)
    ended(why);
}

}  // namespace zelmo

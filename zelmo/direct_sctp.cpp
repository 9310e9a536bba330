// SCTP association over the ICE pair (see direct_sctp.h).
#include "zelmo/direct_sctp.h"

#include <usrsctp.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "zelmo/direct_engine.h"

namespace zelmo {
namespace {

// SCTP's own port on both ends; any value from 1024 up keeps the first byte
// of a packet apart from STUN's on the same socket.
constexpr uint16_t kSctpPort = 5000;
// Small enough for any path that carries UDP at all, without fragments.
constexpr uint32_t kPathMtu = 1200;
constexpr int kSocketBuffer = 4 << 20;
constexpr uint32_t kSendRoomThreshold = 256 * 1024;
// Retransmissions start early and stay short: a path that stops answering
// is left to the link's own watch (seconds), not to SCTP's minutes.
constexpr uint32_t kRtoInitialMs = 300;
constexpr uint32_t kRtoMinMs = 100;
constexpr uint32_t kRtoMaxMs = 1000;
constexpr uint16_t kMaxRetransmits = 12;

// SCTP wants ports and payload kinds in network order.
uint32_t NetworkOrder32(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  uint32_t out;
  std::memcpy(&out, bytes, sizeof(out));
  return out;
}
uint32_t HostOrder32(uint32_t value) {
  uint8_t bytes[4];
  std::memcpy(bytes, &value, sizeof(bytes));
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         bytes[3];
}
uint16_t NetworkOrder16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  uint16_t out;
  std::memcpy(&out, bytes, sizeof(out));
  return out;
}

std::set<SctpAssociation*>& Live() {
  // Engine thread only. Never destroyed: the engine's thread may still be
  // tearing associations down while the process exits.
  static auto* live = new std::set<SctpAssociation*>();
  return *live;
}

template <typename T>
bool Set(struct socket* socket, int level, int name, const T& value) {
  return usrsctp_setsockopt(socket, level, name, &value, sizeof(value)) == 0;
}

bool SetKey(struct socket* socket, const StreamKey& key) {
  std::vector<uint8_t> buffer(sizeof(sctp_authkey) + key.size());
  auto* auth = reinterpret_cast<sctp_authkey*>(buffer.data());
  auth->sca_assoc_id = SCTP_FUTURE_ASSOC;
  auth->sca_keynumber = 1;
  auth->sca_keylength = static_cast<uint16_t>(key.size());
  std::memcpy(auth->sca_key, key.data(), key.size());
  if (usrsctp_setsockopt(socket, IPPROTO_SCTP, SCTP_AUTH_KEY, buffer.data(),
                         static_cast<socklen_t>(buffer.size())) != 0)
    return false;
  sctp_authkeyid id{};
  id.scact_assoc_id = SCTP_FUTURE_ASSOC;
  id.scact_keynumber = 1;
  if (!Set(socket, IPPROTO_SCTP, SCTP_AUTH_ACTIVE_KEY, id))
    return false;
  // The empty key every association starts with would let anyone in.
  id.scact_keynumber = 0;
  return Set(socket, IPPROTO_SCTP, SCTP_AUTH_DELETE_KEY, id);
}

bool Prepare(struct socket* socket, const StreamKey& key) {
  const int on = 1;
  const linger abort_on_close{1, 0};
  sctp_authchunk data_chunk{};
  data_chunk.sauth_chunk = SCTP_DATA;
  sctp_rtoinfo rto{};
  rto.srto_initial = kRtoInitialMs;
  rto.srto_min = kRtoMinMs;
  rto.srto_max = kRtoMaxMs;
  sctp_assocparams params{};
  params.sasoc_asocmaxrxt = kMaxRetransmits;
  sctp_initmsg init{};
  init.sinit_num_ostreams = kMaxSctpStreams + 1;
  init.sinit_max_instreams = kMaxSctpStreams + 1;
  bool ok = usrsctp_set_non_blocking(socket, 1) == 0 &&
            Set(socket, SOL_SOCKET, SO_LINGER, abort_on_close) &&
            Set(socket, SOL_SOCKET, SO_SNDBUF, kSocketBuffer) &&
            Set(socket, SOL_SOCKET, SO_RCVBUF, kSocketBuffer) &&
            Set(socket, IPPROTO_SCTP, SCTP_NODELAY, on) &&
            Set(socket, IPPROTO_SCTP, SCTP_RECVRCVINFO, on) &&
            Set(socket, IPPROTO_SCTP, SCTP_AUTH_CHUNK, data_chunk) &&
            Set(socket, IPPROTO_SCTP, SCTP_RTOINFO, rto) &&
            Set(socket, IPPROTO_SCTP, SCTP_ASSOCINFO, params) &&
            Set(socket, IPPROTO_SCTP, SCTP_INITMSG, init) && SetKey(socket, key);
  for (uint16_t type : {SCTP_ASSOC_CHANGE, SCTP_PARTIAL_DELIVERY_EVENT}) {
    sctp_event event{};
    event.se_assoc_id = SCTP_ALL_ASSOC;
    event.se_type = type;
    event.se_on = 1;
    ok = ok && Set(socket, IPPROTO_SCTP, SCTP_EVENT, event);
  }
  return ok;
}

}  // namespace

struct SctpCallbacks {
  static int Receive(struct socket*, union sctp_sockstore, void* data, std::size_t length,
                     struct sctp_rcvinfo info, int flags, void* self) {
    auto* association = static_cast<SctpAssociation*>(self);
    if (data && Live().count(association)) {
      if (flags & MSG_NOTIFICATION)
        association->OnNotification(data, length);
      else
        association->OnData(info.rcv_sid, HostOrder32(info.rcv_ppid), static_cast<uint8_t*>(data),
                            length, (flags & MSG_EOR) != 0);
    }
    std::free(data);
    return 1;
  }

  static int SendRoom(struct socket*, uint32_t, void* self) {
    auto* association = static_cast<SctpAssociation*>(self);
    if (Live().count(association) && association->refused_) {
      association->refused_ = false;
      association->events_.writable();
    }
    return 0;
  }
};

SctpAssociation::SctpAssociation(bool active, const StreamKey& key, Events events)
    : active_(active), key_(key), events_(std::move(events)) {
  Live().insert(this);
}

SctpAssociation::~SctpAssociation() {
  Live().erase(this);
  if (accepted_)
    usrsctp_close(accepted_);
  if (socket_)
    usrsctp_close(socket_);
  UnregisterPacketSink(this);
}

int SctpAssociation::Start() {
  RegisterPacketSink(this, [this](const uint8_t* data, std::size_t length) {
    if (!down_)
      events_.packet(data, length);
  });
  socket_ = usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, SctpCallbacks::Receive,
                           SctpCallbacks::SendRoom, kSendRoomThreshold, this);
  if (!socket_ || !Prepare(socket_, key_))
    return -1;
  sockaddr_conn address{};
  address.sconn_family = AF_CONN;
  address.sconn_port = NetworkOrder16(kSctpPort);
  address.sconn_addr = this;
  if (usrsctp_bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    return -1;
  if (!active_)
    return usrsctp_listen(socket_, 1) == 0 ? 0 : -1;
  if (usrsctp_connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
      errno != EINPROGRESS)
    return -1;
  SetPathMtu(socket_);
  return 0;
}

void SctpAssociation::TakeAccepted() {
  if (up_ || down_)
    return;
  accepted_ = usrsctp_accept(socket_, nullptr, nullptr);
  if (!accepted_ || usrsctp_set_non_blocking(accepted_, 1) != 0) {
    down_ = true;
    events_.down();
    return;
  }
  SetPathMtu(accepted_);
  up_ = true;
  events_.up();
}

void SctpAssociation::SetPathMtu(struct socket* socket) {
  sctp_paddrparams path{};
  sockaddr_conn address{};
  address.sconn_family = AF_CONN;
  address.sconn_port = NetworkOrder16(kSctpPort);
  address.sconn_addr = this;
  std::memcpy(&path.spp_address, &address, sizeof(address));
  path.spp_flags = SPP_PMTUD_DISABLE;
  path.spp_pathmtu = kPathMtu;
  Set(socket, IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, path);
}

void SctpAssociation::Input(const uint8_t* data, std::size_t length) {
  if (socket_ && !down_)
    usrsctp_conninput(this, data, length, 0);
}

int SctpAssociation::Send(uint16_t stream, uint32_t kind, const void* data, std::size_t length) {
  if (!up_ || down_ || !connection())
    return -1;
  sctp_sndinfo info{};
  info.snd_sid = stream;
  info.snd_ppid = NetworkOrder32(kind);
  info.snd_flags = SCTP_EOR;
  if (usrsctp_sendv(connection(), data, length, nullptr, 0, &info, sizeof(info), SCTP_SENDV_SNDINFO,
                    0) >= 0)
    return 0;
  if (errno == EWOULDBLOCK || errno == EAGAIN) {
    refused_ = true;
    return 1;
  }
  return -1;
}

void SctpAssociation::OnData(uint16_t stream, uint32_t kind, const uint8_t* data,
                             std::size_t length, bool whole) {
  std::string& partial = partial_[stream];
  if (partial.size() + length > kMaxSctpMessage) {
    partial_.erase(stream);
    events_.message(stream, kBrokenMessage, std::string());
    return;
  }
  partial.append(reinterpret_cast<const char*>(data), length);
  if (!whole)
    return;
  std::string message = std::move(partial);
  partial_.erase(stream);
  events_.message(stream, kind, std::move(message));
}

void SctpAssociation::OnNotification(const void* data, std::size_t length) {
  const auto* note = static_cast<const sctp_notification*>(data);
  if (length < sizeof(note->sn_header) || note->sn_header.sn_type != SCTP_ASSOC_CHANGE ||
      length < sizeof(sctp_assoc_change))
    return;
  switch (note->sn_assoc_change.sac_state) {
    case SCTP_COMM_UP:
      if (up_ || down_)
        break;
      if (!active_) {
        // The new connection reaches the listening socket's queue only after
        // this call: it is taken from there right after.
        PostToEngine([this] {
          if (Live().count(this))
            TakeAccepted();
        });
        break;
      }
      up_ = true;
      events_.up();
      break;
    case SCTP_COMM_LOST:
    case SCTP_SHUTDOWN_COMP:
    case SCTP_CANT_STR_ASSOC:
      if (!down_) {
        down_ = true;
        events_.down();
      }
      break;
    default:
      break;
  }
}

}  // namespace zelmo

// ICE session (see direct_ice.h).
#include "zelmo/direct_ice.h"

#include <re.h>

#include <cstring>

namespace zelmo {
namespace {

// A TURN helper sees a datagram before ICE does, so that data relayed by the
// server reaches ICE unwrapped.
constexpr int kLayerTurn = 0;
constexpr int kLayerIce = 10;
// Room in front of a datagram for the TURN server's header.
constexpr std::size_t kTurnHeadroom = 64;
// How long a TURN server gets to answer before the host candidates go alone.
constexpr uint32_t kGatherLimitMs = 2000;
// A check is sent again after 100, 200, 400 ms; a pair that never answers is
// given up after about 1.5 s, which bounds the wait for the whole list.
constexpr uint32_t kCheckRtoMs = 100;
constexpr uint32_t kCheckCount = 4;
constexpr uint32_t kTurnLifetime = 600;
// Pairs that can never answer (another network's private address, say) may
// keep the check list from ending on its own: once a pair works, the others
// get this long to do better, then the checks end with the best that worked.
constexpr uint32_t kWatchStepMs = 100;
constexpr uint64_t kBetterPairGraceMs = 300;
constexpr std::size_t kSocketBuffer = 4 << 20;

std::string Encode(const ice_cand* candidate) {
  char* text = nullptr;
  if (re_sdprintf(&text, "%H", ice_cand_encode, candidate) != 0 || !text)
    return "";
  std::string result(text);
  mem_deref(text);
  return result;
}

std::string FormatAddress(const sa* address) {
  char text[64];
  re_snprintf(text, sizeof(text), "%J", address);
  return text;
}

}  // namespace

struct IceSession::State {
  bool controlling = false;
  TurnServer turn;
  Events events;
  udp_sock* socket = nullptr;
  icem* media = nullptr;
  turnc* turn_client = nullptr;
  sa local{};
  tmr gather_limit{};
  tmr watch{};
  uint64_t first_valid = 0;
  char ufrag[16] = {};
  char password[32] = {};
  bool turn_on_loopback = true;
  sa server{};  // the TURN server's address, when there is one
  bool gathering = false;
  bool checking = false;
  bool chosen = false;
  // Where the streams' datagrams go. The library's side takes the pair its
  // checks chose first (ICE may name another later; the streams stay). The
  // agent's side answers where the peer's datagrams come from, among the
  // peer's candidates, which the checks made sure of.
  sa peer{};
  bool peer_relayed = false;  // the local end is the TURN allocation
  TunnelPath path;

  ~State() {
    tmr_cancel(&gather_limit);
    tmr_cancel(&watch);
    media = static_cast<icem*>(mem_deref(media));
    turn_client = static_cast<turnc*>(mem_deref(turn_client));
    socket = static_cast<udp_sock*>(mem_deref(socket));
  }

  static bool AddHost(const char* ifname, const sa* address, void* arg) {
    auto* state = static_cast<State*>(arg);
    if (sa_af(address) != AF_INET || list_count(icem_lcandl(state->media)) >= kMaxCandidates)
      return false;
    sa candidate = *address;
    sa_set_port(&candidate, sa_port(&state->local));
    // Loopback only helps two peers on one machine, and is offered only where
    // the TURN server is on it too; elsewhere its checks would only wait out
    // their time and hold back the others.
    if (sa_is_loopback(&candidate) && !state->turn_on_loopback)
      return false;
    const uint16_t preference = sa_is_loopback(&candidate) ? 1 : 65535;
    icem_cand_add(state->media, 1, preference, ifname, &candidate);
    return false;
  }

  static void OnTurn(int err, uint16_t code, const char*, const sa* relayed, const sa* mapped,
                     const stun_msg*, void* arg) {
    auto* state = static_cast<State*>(arg);
    if (!state->gathering)
      return;  // a refresh, or an answer after the limit
    if (err == 0 && code == 0) {
      ice_cand* base = nullptr;
      for (le* entry = list_head(icem_lcandl(state->media)); entry; entry = entry->next) {
        auto* candidate = static_cast<ice_cand*>(entry->data);
        if (!base || !sa_is_loopback(icem_lcand_addr(candidate)))
          base = candidate;
        if (!sa_is_loopback(icem_lcand_addr(candidate)))
          break;
      }
      if (base) {
        icem_lcand_add(state->media, base, ICE_CAND_TYPE_SRFLX, mapped);
        icem_lcand_add(state->media, base, ICE_CAND_TYPE_RELAY, relayed);
        icem_set_turn_client(state->media, 1, state->turn_client);
      }
    } else {
      state->turn_client = static_cast<turnc*>(mem_deref(state->turn_client));
    }
    state->FinishGathering();
  }

  static void OnGatherLimit(void* arg) {
    auto* state = static_cast<State*>(arg);
    state->turn_client = static_cast<turnc*>(mem_deref(state->turn_client));
    state->FinishGathering();
  }

  void FinishGathering() {
    if (!gathering)
      return;
    gathering = false;
    tmr_cancel(&gather_limit);
    IceDescription description{ufrag, password, {}};
    for (le* entry = list_head(icem_lcandl(media)); entry; entry = entry->next) {
      std::string text = Encode(static_cast<ice_cand*>(entry->data));
      if (!text.empty())
        description.candidates.push_back(text);
    }
    events.gathered(description);
  }

  static void OnChecked(int err, bool, void* arg) {
    auto* state = static_cast<State*>(arg);
    if (!state->checking)
      return;
    state->checking = false;
    tmr_cancel(&state->watch);
    if (!state->controlling)
      return;
    const ice_cand* local = icem_selected_lcand(state->media, 1);
    const ice_cand* remote = icem_selected_rcand(state->media, 1);
    state->chosen = err == 0 && local && remote;
    if (state->chosen) {
      state->peer = *icem_lcand_addr(remote);
      state->peer_relayed = icem_cand_type(local) == ICE_CAND_TYPE_RELAY;
      if (state->peer_relayed || icem_cand_type(remote) == ICE_CAND_TYPE_RELAY)
        state->path = TunnelPath{PathKind::kTurnRelay, ""};
      else
        state->path = TunnelPath{PathKind::kDirect, FormatAddress(&state->peer)};
    }
    state->events.checked(state->chosen);
  }

  static void OnWatch(void* arg) {
    auto* state = static_cast<State*>(arg);
    if (!state->checking)
      return;
    const uint64_t now = tmr_jiffies();
    if (list_count(icem_validl(state->media)) > 0 && state->first_valid == 0)
      state->first_valid = now;
    if (state->first_valid != 0 && now - state->first_valid >= kBetterPairGraceMs) {
      icem_conncheck_stop(state->media, 0);  // ends in OnChecked
      return;
    }
    tmr_start(&state->watch, kWatchStepMs, OnWatch, state);
  }

  // Datagrams that ICE and TURN did not take: only from the peer's candidates.
  static void OnDatagram(const sa* source, mbuf* buffer, void* arg) {
    auto* state = static_cast<State*>(arg);
    const ice_cand* from = state->media ? state->PeerCandidate(source) : nullptr;
    if (!from)
      return;
    if (!state->controlling && (!state->chosen || !sa_cmp(&state->peer, source, SA_ALL)))
      state->Latch(source, from);
    state->events.datagram(mbuf_buf(buffer), mbuf_get_left(buffer));
  }

  const ice_cand* PeerCandidate(const sa* source) const {
    for (le* entry = list_head(icem_rcandl(media)); entry; entry = entry->next) {
      auto* candidate = static_cast<const ice_cand*>(entry->data);
      if (sa_cmp(icem_lcand_addr(candidate), source, SA_ALL))
        return candidate;
    }
    return nullptr;
  }

  void Latch(const sa* source, const ice_cand* from) {
    chosen = true;
    peer = *source;
    peer_relayed = false;
    if (icem_cand_type(from) == ICE_CAND_TYPE_RELAY)
      path = TunnelPath{PathKind::kTurnRelay, ""};
    else
      path = TunnelPath{PathKind::kDirect, FormatAddress(source)};
  }
};

IceSession::IceSession(bool controlling, const TurnServer& turn, Events events)
    : state_(new State()) {
  state_->controlling = controlling;
  state_->turn = turn;
  state_->events = std::move(events);
  tmr_init(&state_->gather_limit);
  tmr_init(&state_->watch);
}

IceSession::~IceSession() = default;

int IceSession::Start(std::string& why) {
  State& s = *state_;
  sa any{};
  sa_set_str(&any, "0.0.0.0", 0);
  if (udp_listen(&s.socket, &any, State::OnDatagram, &s) != 0 ||
      udp_local_get(s.socket, &s.local) != 0) {
    why = "no UDP socket";
    return -1;
  }
  udp_sockbuf_set(s.socket, static_cast<int>(kSocketBuffer));
  rand_str(s.ufrag, sizeof(s.ufrag));
  rand_str(s.password, sizeof(s.password));
  const ice_role role = s.controlling ? ICE_ROLE_CONTROLLING : ICE_ROLE_CONTROLLED;
  if (icem_alloc(&s.media, ICE_MODE_FULL, role, IPPROTO_UDP, kLayerIce, rand_u64(), s.ufrag,
                 s.password, State::OnChecked, &s) != 0 ||
      icem_comp_add(s.media, 1, s.socket) != 0) {
    why = "ICE could not start";
    return -1;
  }
  ice_conf conf = *icem_conf(s.media);
  conf.rto = kCheckRtoMs;
  conf.rc = kCheckCount;
  icem_set_conf(s.media, &conf);
  const bool has_server = !s.turn.address.empty() &&
                          sa_decode(&s.server, s.turn.address.c_str(), s.turn.address.size()) == 0;
  s.turn_on_loopback = !has_server || sa_is_loopback(&s.server);
  net_if_apply(State::AddHost, &s);
  if (list_count(icem_lcandl(s.media)) == 0) {
    why = "no IPv4 address to offer";
    return -1;
  }
  s.gathering = true;
  if (has_server && turnc_alloc(&s.turn_client, nullptr, IPPROTO_UDP, s.socket, kLayerTurn,
                                &s.server, s.turn.username.c_str(), s.turn.password.c_str(),
                                kTurnLifetime, State::OnTurn, &s) == 0) {
    tmr_start(&s.gather_limit, kGatherLimitMs, State::OnGatherLimit, &s);
    return 0;
  }
  s.FinishGathering();
  return 0;
}

int IceSession::Check(const IceDescription& remote, std::string& why) {
  State& s = *state_;
  if (!s.media || s.gathering || s.checking || s.chosen) {
    why = "not ready for checks";
    return -1;
  }
  int err = icem_sdp_decode(s.media, ice_attr_ufrag, remote.ufrag.c_str());
  err |= icem_sdp_decode(s.media, ice_attr_pwd, remote.password.c_str());
  std::size_t taken = 0;
  for (const std::string& candidate : remote.candidates) {
    if (taken == kMaxCandidates)
      break;
    if (icem_sdp_decode(s.media, ice_attr_cand, candidate.c_str()) == 0)
      ++taken;
  }
  if (err != 0 || taken == 0) {
    why = "the peer's description is unusable";
    return -1;
  }
  OpenPermissions();
  s.checking = true;
  if (icem_conncheck_start(s.media) != 0) {
    s.checking = false;
    why = "checks could not start";
    return -1;
  }
  if (s.controlling) {
    tmr_start(&s.watch, kWatchStepMs, State::OnWatch, &s);
  } else {
    // The agent's side answers the checks and then the peer's datagrams; it
    // is ready as soon as its checks run.
    s.events.checked(true);
  }
  return 0;
}

// The TURN server forwards only from peers its client allowed. Checks allow
// each peer as they go out, one after the other, and a peer's check that
// arrives before its turn is lost; so every peer the description names is
// allowed before any check goes out. The server's own addresses are left
// out: it relays nothing to itself.
void IceSession::OpenPermissions() {
  State& s = *state_;
  if (!s.turn_client)
    return;
  for (le* entry = list_head(icem_rcandl(s.media)); entry; entry = entry->next) {
    const sa* peer = icem_lcand_addr(static_cast<ice_cand*>(entry->data));
    if (!sa_cmp(peer, &s.server, SA_ADDR))
      icem_add_chan(s.media, 1, peer);
  }
}

int IceSession::Send(const uint8_t* data, std::size_t length) {
  State& s = *state_;
  if (!s.chosen)
    return -1;
  const std::size_t headroom = s.peer_relayed ? kTurnHeadroom : 0;
  mbuf* buffer = mbuf_alloc(headroom + length);
  if (!buffer)
    return -1;
  buffer->pos = headroom;
  mbuf_write_mem(buffer, data, length);
  buffer->pos = headroom;
  const int err = udp_send(s.socket, &s.peer, buffer);
  mem_deref(buffer);
  return err == 0 ? 0 : -1;
}

TunnelPath IceSession::Path() const {
  return state_->path;
}

}  // namespace zelmo

// The relay protocol. Every connection to the relay starts with one text line
// that names its role; the relay and the device agents answer with lines of the
// same form. Words are separated by single blanks and a line ends with "\n".
// Lines are short and bounded, so a peer that sends garbage is cut off early.
//
//   library  -> relay   "TUNNEL <token> <serial>"        control connection
//   relay    -> library "OK <tunnel id> <stream key>" | "OFFLINE" | "BUSY <why>"
//                       | "DENIED <why>"                 the last one for good
//   relay    -> library "NETINFO <code> <count>"          while the tunnel is open
//   library  -> relay   "PING"                            every kKeepAliveInterval
//   relay    -> library "PONG"
//   library  -> relay   "STREAM <stream key> <service>"   one connection per stream
//   library  -> relay   "READY <stream key>"              a stream connection kept ready
//   relay    -> library "OK"                              it waits for its service
//   library  -> relay   "USE <service>"                   a local connection took it
//   agent    -> relay   "AGENT <serial>"                  the device's outbound link
//   relay    -> agent   "CHALLENGE <challenge>"
//   agent    -> relay   "PROOF <proof>"                   HMAC of the challenge (below)
//   relay    -> agent   "DENIED <why>"                    the proof failed; link closed
//   relay    -> agent   "OPEN <stream id> <service>"
//   agent    -> relay   "DATA <stream id>"                the device side of a stream
//   relay    -> agent   "LINKED <secret>"                 the link is registered
//   agent    -> relay   "SPARE <serial> <secret>"         a device side kept ready
//   relay    -> agent   "SERVE <service>"                 on a spare, when a stream takes it
//   library  -> relay   "DIRECT <word>..."                the direct path's set-up, below
//   relay    -> agent   "DIRECT <tunnel> <word>..."
//   agent    -> relay   "DIRECT <tunnel> <word>..."
//   relay    -> library "DIRECT <word>..."
//   agent    -> relay   "PATH <tunnel> <carrier> <address> <to device> <from device>"
//
// "DIRECT" lines carry the set-up of a UDP path between the library and the
// agent; the relay passes them between a tunnel's control connection and its
// device's link without reading them, at a bounded rate. Their words are
// "OFFER <attempt> <ufrag> <password> <key>" (the library; key: the streams'
// authentication key, 64 hex digits), "ANSWER <attempt> <ufrag> <password>"
// (the agent), then "CAND <attempt> <candidate>" for each candidate, with
// commas for the blanks of its usual text form, "END <attempt>" after the last,
// "READY <attempt>" from the agent once it chose a pair and listens for the
// streams' association, and "FAIL <attempt>" from a side that gave the attempt
// up. On the link a
// tunnel goes by a decimal number the relay gives it, as the tunnel id of "OK"
// is the device's, the same for each of its open tunnels; the agent learns the
// number from the relay's first "DIRECT" line for the tunnel. A library's line
// that would grow past kMaxLineLength with it is dropped. "PATH" tells the
// relay how the agent's side of a tunnel carries its streams now (carrier
// "direct", "turn" or "cloud", address "ip:port" or "-") and the bytes its UDP
// streams carried so far each way, for the cloud's stats.
//
// After "STREAM", "USE" and "DATA" the connection carries the stream's bytes
// unchanged. A ready connection lives as long as its tunnel. A tunnel is closed
// when its control connection closes. Both ends watch that connection: the
// library takes the path as dead when nothing came back for two keep-alive
// intervals, the relay closes a control connection that was silent for four.
//
// A device agent proves the per-device secret of the cloud's configuration
// before the relay takes its link as the device's: the proof is HMAC-SHA256
// under that secret of "<serial> <challenge>", in hex. Keys, stream ids,
// challenges and link secrets are random and unguessable, so only the
// library that opened a tunnel can use its stream key and only the linked
// agent, which alone hears "OPEN", can answer a stream with "DATA".
//
// A spare saves a stream the round trip of "OPEN" and "DATA": the relay writes
// "SERVE" on it, padded with blanks to kSpareHeaderLength bytes so that the agent
// reads exactly the header and no stream bytes, and joins it at once. Only the
// linked agent knows the secret of its link, so no one else can put a spare in
// the way of a device's streams.
//
// Beside the relay, the cloud answers HTTP with JSON bodies: sign-in (POST, body
// {"user","password"}; 200 {"token","relay_port"} or 403 {"error"}), the
// account's devices (GET with "Authorization: Bearer <token>"; 200 {"devices":
// [{"sn","name","tunnel_id","user","key"}]}), and a device agent's own record
// (GET ?sn=, loopback peers only; 200 {"sn","name","user","key","relay_port"}).
// Where the cloud has a STUN and TURN server beside it, sign-in answers and
// agent records also carry "turn": {"address","username","password","ttl"},
// short-lived credentials of that server for the account or the device.
#pragma once
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zelmo {

constexpr std::size_t kMaxLineLength = 512;
constexpr auto kKeepAliveInterval = std::chrono::seconds(10);

constexpr const char* kPathSignIn = "/api/signin";
constexpr const char* kPathDevices = "/api/devices";
constexpr const char* kPathAgent = "/api/agent";

constexpr const char* kHelloTunnel = "TUNNEL";
constexpr const char* kHelloStream = "STREAM";
constexpr const char* kHelloAgent = "AGENT";
constexpr const char* kHelloData = "DATA";
constexpr const char* kReplyOk = "OK";
constexpr const char* kReplyOffline = "OFFLINE";
constexpr const char* kReplyDenied = "DENIED";
constexpr const char* kReplyBusy = "BUSY";
constexpr const char* kEventNetInfo = "NETINFO";
constexpr const char* kCommandPing = "PING";
constexpr const char* kReplyPong = "PONG";
constexpr const char* kCommandOpen = "OPEN";
constexpr const char* kReplyLinked = "LINKED";
constexpr const char* kCommandChallenge = "CHALLENGE";
constexpr const char* kReplyProof = "PROOF";
constexpr const char* kHelloSpare = "SPARE";
constexpr const char* kHelloReady = "READY";
constexpr const char* kCommandUse = "USE";
constexpr const char* kCommandServe = "SERVE";
constexpr const char* kLineDirect = "DIRECT";
constexpr const char* kReportPath = "PATH";
constexpr std::size_t kSpareHeaderLength = 32;

// The device services that port rules name.
constexpr int kServiceCount = 7;
extern const char* const kServiceNames[kServiceCount];
bool IsServiceName(const std::string& name);

// A protocol word: non-empty printable text without blanks, at most 200 bytes.
bool IsWord(const std::string& text);

// Splits a line (without its "\n") at single blanks; empty when any word is not
// a protocol word.
std::vector<std::string> SplitWords(const std::string& line);

// Joins the words with blanks and ends the line with "\n".
std::string MakeLine(const std::vector<std::string>& words);

// The "SERVE" header for a spare: exactly kSpareHeaderLength bytes.
std::string MakeSpareHeader(const std::string& service);
// The service a "SERVE" header names; false when it is not such a header.
bool ParseSpareHeader(const std::string& header, std::string& service);

// Takes the first line (up to and without "\n") out of buffer; the bytes after
// it stay. False when buffer holds no "\n".
bool TakeLine(std::string& buffer, std::string& line);

}  // namespace zelmo

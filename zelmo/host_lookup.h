// Host-name lookups with a deadline. The system's resolver can take far longer
// than a call to the cloud may (a name whose servers never answer), so a name is
// looked up on a thread of its own; when the deadline passes first, the caller
// goes on without it and the thread ends when the resolver gives up, its answer
// dropped. At most kMaxLookups such threads run at once, so a cloud named by a
// stalling name cannot pile them up. An address given as digits needs no lookup.
#pragma once
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zelmo {

constexpr int kMaxLookups = 8;

using Endpoints = std::vector<asio::ip::tcp::endpoint>;

// A lookup as the system does it: 0 with the endpoints, or -1. Tests put a
// slow one in the system's place; null puts the system's back.
using LookupFunc = int (*)(const std::string& host, uint16_t port, bool v4_only, Endpoints& out);
void SetLookupFunc(LookupFunc lookup);

// The endpoints of host:port (IPv4 ones only when v4_only) within limit: 0, or
// -1 with why (a short text for a log line).
int LookUpHost(const std::string& host, uint16_t port, bool v4_only,
               std::chrono::milliseconds limit, Endpoints& out, std::string& why);

}  // namespace zelmo

// The cloud's HTTP side, all on the listen address:
//   GET  /getime                    "t=" and the service time (or the admin's status)
//   POST /api/signin, GET /api/devices, GET /api/agent   (see zelmo/wire.h)
//   GET  /                          the portal
//   POST /admin/clock?offset=S | fixed=T | status=CODE
//   POST /admin/device?sn=SN&online=0|1
//   POST /admin/netinfo?sn=SN&code=C&count=N
//   POST /admin/drop?sn=SN
//   GET  /admin/stats               JSON: per device its tunnels, streams, bytes
// Admin requests and the agent record answer loopback peers only; admin answers
// are 200 "ok" or 400 with the reason.
#pragma once
#include <httplib.h>

#include <string>

#include "devcloud/directory.h"
#include "devcloud/relay.h"
#include "devcloud/turn_credentials.h"
#include "devcloud/service_clock.h"

namespace devcloud {

struct CloudHttpContext {
  const Directory* directory;
  ServiceClock* clock;
  Relay* relay;
  std::string listen;  // "host:port" as the gateway reaches the cloud
  TurnService turn;    // address empty: no STUN and TURN server
};

// Registers every route; the handlers keep a reference to context, which must
// outlive the server and may be completed until the server runs.
void AddCloudRoutes(httplib::Server& server, const CloudHttpContext& context);

// A whole decimal number with an optional sign; false for anything else.
bool ParseInteger(const std::string& text, long long& value);

}  // namespace devcloud

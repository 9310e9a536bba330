// Cloud HTTP routes (see cloud_http.h). Handlers run on the server's threads;
// they read the fixed directory and the atomic clock directly and reach the
// relay through Relay::Call.
#include "devcloud/cloud_http.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

#include "devcloud/portal.h"
#include "platform/text.h"
#include "zelmo/wire.h"

namespace devcloud {
namespace {

using nlohmann::json;
using Handler = httplib::Server::Handler;

bool FromLoopback(const httplib::Request& request) {
  const std::string& peer = request.remote_addr;
  return peer.compare(0, 4, "127.") == 0 || peer == "::1" ||
         peer.compare(0, 11, "::ffff:127.") == 0;
}

void Answer(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text, "text/plain");
}

void AnswerJson(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

using Action = void (*)(const CloudHttpContext&, const httplib::Request&, httplib::Response&);

Handler Bind(const CloudHttpContext& context, Action action) {
  return [&context, action](const httplib::Request& request, httplib::Response& response) {
    action(context, request, response);
  };
}

// The host part of a Host value or of "host:port": lower case, without port
// and brackets.
std::string HostPart(const std::string& value) {
  std::string host = value;
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    host = close == std::string::npos ? std::string() : host.substr(1, close - 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  for (char& c : host)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return host;
}

// A web page can rebind its own name to 127.0.0.1 and so reach these routes
// from the user's browser; it then names its own host. Only a loopback name or
// address, or the cloud's own listen host, is taken; no Host at all is too.
bool NamesThisHost(const CloudHttpContext& context, const httplib::Request& request) {
  if (!request.has_header("Host"))
    return true;
  std::string host = HostPart(request.get_header_value("Host"));
  if (host == "localhost" || host == "::1" || host == HostPart(context.listen))
    return true;
  return host.compare(0, 4, "127.") == 0 &&
         host.find_first_not_of("0123456789.") == std::string::npos;
}

// A cross-site page cannot send this content type without the browser asking
// the server first, which this server never allows.
bool SaysJson(const httplib::Request& request) {
  std::string type = request.get_header_value("Content-Type");
  return type.compare(0, 16, "application/json") == 0 &&
         (type.size() == 16 || type[16] == ';' || type[16] == ' ');
}

// Admin routes and the agent record: loopback peers naming this host only;
// admin actions, which change the cloud, also only as JSON requests (their
// parameters stay in the query).
Handler Guarded(const CloudHttpContext& context, Action action, bool json_only) {
  return
      [&context, action, json_only](const httplib::Request& request, httplib::Response& response) {
        if (!FromLoopback(request))
          return Answer(response, 403, "loopback peers only");
        if (!NamesThisHost(context, request))
          return Answer(response, 403, "foreign host");
        if (json_only && !SaysJson(request))
          return Answer(response, 415, "admin actions need Content-Type: application/json");
        action(context, request, response);
      };
}

Handler Admin(const CloudHttpContext& context, Action action) {
  return Guarded(context, action, false);
}

Handler AdminAction(const CloudHttpContext& context, Action action) {
  return Guarded(context, action, true);
}

void ServeTime(const CloudHttpContext& context, const httplib::Request&,
               httplib::Response& response) {
  int status = context.clock->status();
  if (status != 200)
    return Answer(response, status, "service clock unavailable");
  Answer(response, 200, "t=" + std::to_string(context.clock->Now()));
}

void SetClock(const CloudHttpContext& context, const httplib::Request& request,
              httplib::Response& response) {
  long long value = 0;
  if (request.has_param("offset")) {
    if (!ParseInteger(request.get_param_value("offset"), value)) {
      return Answer(response, 400, "bad offset");
    }
    context.clock->SetOffset(value);
  } else if (request.has_param("fixed")) {
    if (!ParseInteger(request.get_param_value("fixed"), value)) {
      return Answer(response, 400, "bad fixed time");
    }
    context.clock->Freeze(value);
  } else if (request.has_param("status")) {
    if (!ParseInteger(request.get_param_value("status"), value) || value < 100 || value > 599) {
      return Answer(response, 400, "status must be 100 to 599");
    }
    context.clock->SetStatus(static_cast<int>(value));
  } else {
    return Answer(response, 400, "give offset, fixed or status");
  }
  Answer(response, 200, "ok");
}

// The STUN and TURN server and credentials of its own for name, when the cloud
// has such a server; the peers use it to find a way to each other.
void AddTurn(const CloudHttpContext& context, const std::string& name, json& answer) {
  if (!context.turn.address.empty())
    answer["turn"] = TurnCredentials(context.turn, name, std::time(nullptr));
}

void SignIn(const CloudHttpContext& context, const httplib::Request& request,
            httplib::Response& response) {
  json body = json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("user") || !body["user"].is_string() ||
      !body.contains("password") || !body["password"].is_string()) {
    return AnswerJson(response, 400, {{"error", "user and password expected"}});
  }
  std::string token = context.directory->SignIn(body["user"], body["password"]);
  if (token.empty())
    return AnswerJson(response, 403, {{"error", "wrong user or password"}});
  json answer = {{"token", token}, {"relay_port", context.relay->port()}};
  AddTurn(context, body["user"], answer);
  AnswerJson(response, 200, answer);
}

const AccountConfig* AccountOfRequest(const CloudHttpContext& context,
                                      const httplib::Request& request) {
  std::string header = request.get_header_value("Authorization");
  const std::string bearer = "Bearer ";
  if (header.compare(0, bearer.size(), bearer) != 0)
    return nullptr;
  return context.directory->AccountOfToken(header.substr(bearer.size()));
}

void ListDevices(const CloudHttpContext& context, const httplib::Request& request,
                 httplib::Response& response) {
  const AccountConfig* account = AccountOfRequest(context, request);
  if (account == nullptr)
    return AnswerJson(response, 401, {{"error", "sign in first"}});
  json list = json::array();
  for (const DeviceConfig& device : account->devices) {
    list.push_back({{"sn", device.sn},
                    {"name", device.name},
                    {"tunnel_id", device.tunnel_id},
                    {"user", device.user},
                    {"key", device.key}});
  }
  AnswerJson(response, 200, {{"devices", list}});
}

void ServeAgentRecord(const CloudHttpContext& context, const httplib::Request& request,
                      httplib::Response& response) {
  const DeviceConfig* device = context.directory->Device(request.get_param_value("sn"));
  if (device == nullptr)
    return AnswerJson(response, 404, {{"error", "unknown device"}});
  json record = {{"sn", device->sn},
                 {"name", device->name},
                 {"user", device->user},
                 {"key", device->key},
                 {"relay_port", context.relay->port()}};
  AddTurn(context, device->sn, record);
  AnswerJson(response, 200, record);
}

// The serial of an admin request, known to the directory; empty otherwise.
std::string AdminDevice(const CloudHttpContext& context, const httplib::Request& request) {
  std::string sn = request.get_param_value("sn");
  return context.directory->Device(sn) != nullptr ? sn : std::string();
}

bool ParseInt32(const std::string& text, int& value) {
  long long parsed = 0;
  if (!ParseInteger(text, parsed) || parsed < -2147483647LL || parsed > 2147483647LL)
    return false;
  value = static_cast<int>(parsed);
  return true;
}

void SwitchDevice(const CloudHttpContext& context, const httplib::Request& request,
                  httplib::Response& response) {
  std::string sn = AdminDevice(context, request);
  std::string online = request.get_param_value("online");
  if (sn.empty())
    return Answer(response, 400, "unknown device");
  if (online != "0" && online != "1")
    return Answer(response, 400, "online must be 0 or 1");
  context.relay->Call([&] { return context.relay->SetOnline(sn, online == "1"); });
  Answer(response, 200, "ok");
}

void ReportNetInfo(const CloudHttpContext& context, const httplib::Request& request,
                   httplib::Response& response) {
  std::string sn = AdminDevice(context, request);
  int code = 0;
  int count = 0;
  if (sn.empty())
    return Answer(response, 400, "unknown device");
  if (!ParseInt32(request.get_param_value("code"), code) ||
      !ParseInt32(request.get_param_value("count"), count)) {
    return Answer(response, 400, "code and count must be 32-bit numbers");
  }
  context.relay->Call([&] { return context.relay->ReportNetInfo(sn, code, count); });
  Answer(response, 200, "ok");
}

void DropTunnels(const CloudHttpContext& context, const httplib::Request& request,
                 httplib::Response& response) {
  std::string sn = AdminDevice(context, request);
  if (sn.empty())
    return Answer(response, 400, "unknown device");
  context.relay->Call([&] { return context.relay->Drop(sn); });
  Answer(response, 200, "ok");
}

void ShowStats(const CloudHttpContext& context, const httplib::Request&,
               httplib::Response& response) {
  json stats = context.relay->Call([&] { return context.relay->Stats(); });
  stats["time"] = context.clock->Now();
  AnswerJson(response, 200, stats);
}

void ServePortal(const CloudHttpContext& context, const httplib::Request&,
                 httplib::Response& response) {
  const AccountConfig& account = context.directory->PortalAccount();
  std::vector<DeviceState> states = context.relay->Call([&] {
    std::vector<DeviceState> list;
    for (const DeviceConfig& device : account.devices) {
      list.push_back({context.relay->IsOnline(device.sn), context.relay->TunnelManners(device.sn)});
    }
    return list;
  });
  response.set_content(RenderPortal(account, states, context.clock->Now(), context.listen),
                       "text/html; charset=utf-8");
}

// A request with neither Content-Length nor Transfer-Encoding has no body, but
// this cpp-httplib reads a POST's body until the peer closes and then answers
// 400: "curl -X POST URL" would hang for the read time-out and fail. Saying
// the length is 0 lets the admin actions, which take no body, answer at once.
httplib::Server::HandlerResponse TakeNoBodyWithoutLength(const httplib::Request& request,
                                                         httplib::Response&) {
  if (!request.has_header("Content-Length") && !request.has_header("Transfer-Encoding")) {
    // The server owns the request; only its handlers see it as const.
    const_cast<httplib::Request&>(request).set_header("Content-Length", "0");
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

}  // namespace

bool ParseInteger(const std::string& text, long long& value) {
  return platform::ParseWholeDecimal(text.c_str(), LLONG_MIN, LLONG_MAX, &value);
}

void AddCloudRoutes(httplib::Server& server, const CloudHttpContext& context) {
  server.set_pre_routing_handler(TakeNoBodyWithoutLength);
  server.Get("/getime", Bind(context, ServeTime));
  server.Post(zelmo::kPathSignIn, Bind(context, SignIn));
  server.Get(zelmo::kPathDevices, Bind(context, ListDevices));
  server.Get(zelmo::kPathAgent, Admin(context, ServeAgentRecord));
  server.Get("/", Bind(context, ServePortal));
  server.Post("/admin/clock", AdminAction(context, SetClock));
  server.Post("/admin/device", AdminAction(context, SwitchDevice));
  server.Post("/admin/netinfo", AdminAction(context, ReportNetInfo));
  server.Post("/admin/drop", AdminAction(context, DropTunnels));
  server.Get("/admin/stats", Admin(context, ShowStats));
}

}  // namespace devcloud

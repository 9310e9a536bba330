// Cloud HTTP routes (see cloud_http.h). Handlers run on the server's threads;
// they read the fixed directory and the atomic clock directly and reach the
// relay through Relay::Call.
#include "devcloud/cloud_http.h"

#include <climits>
#include <cstdlib>
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

// Admin actions and the agent record: loopback peers only.
Handler Admin(const CloudHttpContext& context, Action action) {
  return [&context, action](const httplib::Request& request, httplib::Response& response) {
    if (!FromLoopback(request))
      return Answer(response, 403, "loopback peers only");
    action(context, request, response);
  };
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
  AnswerJson(response, 200, {{"token", token}, {"relay_port", context.relay->port()}});
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
  AnswerJson(response, 200,
             {{"sn", device->sn},
              {"name", device->name},
              {"user", device->user},
              {"key", device->key},
              {"relay_port", context.relay->port()}});
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
  std::vector<bool> online = context.relay->Call([&] {
    std::vector<bool> flags;
    for (const DeviceConfig& device : account.devices) {
      flags.push_back(context.relay->IsOnline(device.sn));
    }
    return flags;
  });
  response.set_content(RenderPortal(account, online, context.clock->Now(), context.listen),
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
  server.Post("/admin/clock", Admin(context, SetClock));
  server.Post("/admin/device", Admin(context, SwitchDevice));
  server.Post("/admin/netinfo", Admin(context, ReportNetInfo));
  server.Post("/admin/drop", Admin(context, DropTunnels));
  server.Get("/admin/stats", Admin(context, ShowStats));
}

}  // namespace devcloud

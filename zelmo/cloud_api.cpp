// Cloud HTTP API client (see cloud_api.h). Answers are checked member by member:
// a body that does not have the expected shape counts as an unreachable cloud.
#include "zelmo/cloud_api.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "zelmo/wire.h"

namespace zelmo {
namespace {

using nlohmann::json;

void SetTimeouts(httplib::Client& client) {
  client.set_connection_timeout(2, 0);
  client.set_read_timeout(3, 0);
  client.set_write_timeout(3, 0);
}

bool ReadText(const json& object, const char* name, std::string& out) {
  auto it = object.find(name);
  if (it == object.end() || !it->is_string())
    return false;
  out = it->get<std::string>();
  return true;
}

// The cloud's reason for a refusal goes into a log line: a non-empty text
// member only, cut to a line's length, and with no control bytes that could
// break the line or forge another.
std::string RefusalReason(const json& body) {
  std::string why;
  if (body.is_object())
    ReadText(body, "error", why);
  if (why.empty())
    why = "refused";
  if (why.size() > 200)
    why.resize(200);
  for (char& c : why)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
  return why;
}

// Maps an HTTP result to 0 / kCloudUnreachable / kCloudRefused and parses the body.
int CheckAnswer(const httplib::Result& result, json& body, std::string& why) {
  if (!result) {
    why = "no answer (" + httplib::to_string(result.error()) + ")";
    return kCloudUnreachable;
  }
  body = json::parse(result->body, nullptr, false);
  if (result->status == 401 || result->status == 403) {
    why = RefusalReason(body);
    return kCloudRefused;
  }
  if (result->status != 200 || !body.is_object()) {
    why = "unexpected answer, status " + std::to_string(result->status);
    return kCloudUnreachable;
  }
  return 0;
}

bool ReadDevice(const json& item, CloudDevice& device) {
  return item.is_object() && ReadText(item, "sn", device.sn) &&
         ReadText(item, "name", device.name) && ReadText(item, "tunnel_id", device.tunnel_id) &&
         ReadText(item, "user", device.user) && ReadText(item, "key", device.key);
}

}  // namespace

int SignIn(const ServerAddress& server, const std::string& user, const std::string& password,
           CloudSession& session, std::string& why) {
  httplib::Client client(server.host, server.port);
  SetTimeouts(client);
  json request = {{"user", user}, {"password", password}};
  json body;
  int rc = CheckAnswer(client.Post(kPathSignIn, request.dump(), "application/json"), body, why);
  if (rc != 0)
    return rc;
  // The token goes into a header and into the relay's lines: one word only.
  auto port = body.find("relay_port");
  if (!ReadText(body, "token", session.token) || !IsWord(session.token) || port == body.end() ||
      !port->is_number_unsigned() || port->get<unsigned>() == 0 || port->get<unsigned>() > 65535) {
    why = "sign-in answer without token or relay port";
    return kCloudUnreachable;
  }
  session.relay_port = static_cast<uint16_t>(port->get<unsigned>());
  return 0;
}

int FetchDevices(const ServerAddress& server, const std::string& token,
                 std::vector<CloudDevice>& devices, std::string& why) {
  httplib::Client client(server.host, server.port);
  SetTimeouts(client);
  httplib::Headers headers = {{"Authorization", "Bearer " + token}};
  json body;
  int rc = CheckAnswer(client.Get(kPathDevices, headers), body, why);
  if (rc != 0)
    return rc;
  auto list = body.find("devices");
  if (list == body.end() || !list->is_array()) {
    why = "device list answer without devices";
    return kCloudUnreachable;
  }
  devices.clear();
  for (const json& item : *list) {
    CloudDevice device;
    if (!ReadDevice(item, device)) {
      why = "device list entry without its fields";
      return kCloudUnreachable;
    }
    devices.push_back(device);
  }
  return 0;
}

}  // namespace zelmo

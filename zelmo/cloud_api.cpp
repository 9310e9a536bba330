// Cloud HTTP API client (see cloud_api.h). Answers are checked member by member:
// a body that does not have the expected shape counts as an unreachable cloud.
#include "zelmo/cloud_api.h"
#include "zelmo/log.h"

#include <nlohmann/json.hpp>

#include "zelmo/wire.h"

namespace zelmo {
namespace {

using nlohmann::json;

bool ReadText(const json& object, const char* name, std::string& out) {
  auto it = object.find(name);
  if (it == object.end() || !it->is_string())
    return false;
  out = it->get<std::string>();
  return true;
}

// The TURN server of a sign-in answer, when it names one as words of the
// relay's protocol (they travel no further, but nothing odd is kept).
void ReadTurn(const json& body, TurnServer& turn) {
  auto it = body.find("turn");
  TurnServer read;
  if (it == body.end() || !it->is_object() || !ReadText(*it, "address", read.address) ||
      !ReadText(*it, "username", read.username) || !ReadText(*it, "password", read.password) ||
      !IsWord(read.address) || !IsWord(read.username) || !IsWord(read.password))
    return;
  turn = read;
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
  return LogSafe(why);
}

// Makes the call and maps its outcome to 0 / kCloudUnreachable / kCloudRefused,
// with the body parsed.
int Call(const ServerAddress& server, const HttpRequest& request, CallCanceller* canceller,
         json& body, std::string& why) {
  HttpAnswer answer;
  if (HttpCall(server, request, answer, why, canceller) != 0)
    return kCloudUnreachable;
  body = json::parse(answer.body, nullptr, false);
  if (answer.status == 401 || answer.status == 403) {
    why = RefusalReason(body);
    return kCloudRefused;
  }
  if (answer.status != 200 || !body.is_object()) {
    why = "unexpected answer, status " + std::to_string(answer.status);
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
           CloudSession& session, std::string& why, CallCanceller* canceller) {
  HttpRequest request{"POST", kPathSignIn, "", json{{"user", user}, {"password", password}}.dump()};
  json body;
  int rc = Call(server, request, canceller, body, why);
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
  ReadTurn(body, session.turn);
  return 0;
}

int FetchDevices(const ServerAddress& server, const std::string& token,
                 std::vector<CloudDevice>& devices, std::string& why, CallCanceller* canceller) {
  HttpRequest request{"GET", kPathDevices, "Bearer " + token, ""};
  json body;
  int rc = Call(server, request, canceller, body, why);
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

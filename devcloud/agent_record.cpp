// Agent record from the cloud (see agent_record.h).
#include "devcloud/agent_record.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "zelmo/wire.h"

namespace devcloud {

int FetchAgentRecord(const std::string& host, int port, const std::string& sn, DeviceInfo& device,
                     uint16_t& relay_port, std::string& why) {
  httplib::Client client(host, port);
  client.set_connection_timeout(3, 0);
  client.set_read_timeout(5, 0);
  httplib::Params params = {{"sn", sn}};
  auto result = client.Get(zelmo::kPathAgent, params, httplib::Headers());
  if (!result) {
    why = "cloud not reached (" + httplib::to_string(result.error()) + ")";
    return -1;
  }
  nlohmann::json body = nlohmann::json::parse(result->body, nullptr, false);
  if (result->status != 200 || !body.is_object()) {
    why = "cloud answered " + std::to_string(result->status) + " " + result->body;
    return -1;
  }
  auto text = [&body](const char* name) {
    auto it = body.find(name);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  auto port_item = body.find("relay_port");
  if (port_item == body.end() || !port_item->is_number_unsigned() ||
      port_item->get<uint64_t>() == 0 || port_item->get<uint64_t>() > 65535) {
    why = "agent record without relay port";
    return -1;
  }
  device = DeviceInfo{text("sn"), text("name"), text("user"), text("key")};
  relay_port = static_cast<uint16_t>(port_item->get<unsigned>());
  return 0;
}

}  // namespace devcloud

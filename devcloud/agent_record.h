// What an agent started with --agent asks the cloud before it links: its
// device's name, user and key, and the relay's port.
#pragma once
#include <cstdint>
#include <string>

#include "devcloud/device_services.h"

namespace devcloud {

// 0, or -1 with why.
int FetchAgentRecord(const std::string& host, int port, const std::string& sn, DeviceInfo& device,
                     uint16_t& relay_port, std::string& why);

}  // namespace devcloud

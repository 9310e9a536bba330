// The portal at GET /: the portal account's devices, each with its state, how
// its open tunnel goes, and an "Open web interface" link to the gateway on this
// computer. The link carries a time stamp ten minutes ahead of the service
// clock and its check code, so the gateway honours it for ten minutes after the
// page was made.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "devcloud/config.h"

namespace devcloud {

// The portal's look, one small block: colours, font, card. The gateway's
// waiting pages use the same values.
extern const char* const kPortalStyle;

// The gateway link for one device. listen is the cloud's "host:port" as the
// gateway reaches it.
std::string PortalLink(const AccountConfig& account, const DeviceConfig& device,
                       int64_t service_time, const std::string& listen);

// What a device's row shows beside its name and serial.
struct DeviceState {
  bool online = false;
  std::string tunnel;  // how its open tunnel goes ("relayed"); empty while none is open
};

// states holds one entry per device of the account, in the same order.
std::string RenderPortal(const AccountConfig& account, const std::vector<DeviceState>& states,
                         int64_t service_time, const std::string& listen);

}  // namespace devcloud

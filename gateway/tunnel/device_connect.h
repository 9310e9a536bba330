// Device connection and the tunnel callbacks. CloudTryConnectDevice opens a
// library client for a device and asks for its tunnel without waiting; the
// library later calls CloudTunnelConnetedCallBackFun, which maps the device's
// ports to local ports and marks the session ready, and
// CloudTunnelClosedCallBackFun, which dooms the session for the reaper.
#pragma once

// The device's DeviceSessions index, found or newly made (connecting); -1 when
// the table is full, the library gave no client, or DeviceSn or DeviceName is
// empty or longer than 63 characters. Stores service_center in UrlIndex first.
// http_ip, when not empty, is the server as it stands; otherwise the service
// centre's base URL is.
int CloudTryConnectDevice(const char* user_name, const char* passwd, const char* device_sn,
                          const char* device_name, int service_center, const char* http_ip);

// Registered per client, which is handed back as the first argument. 0, or -1
// when tunnel_id is not in the client's device list.
int CloudTunnelConnetedCallBackFun(void* client, const char* tunnel_id);
// Dooms every session of the client; returns 1.
int CloudTunnelClosedCallBackFun(void* client);

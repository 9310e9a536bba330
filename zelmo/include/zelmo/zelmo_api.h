// The tunnel libraries' interface: the operations of zelmoclient (clients, device
// list, tunnels) and zelmo (port rules, traffic counter, network events, logging)
// that the gateway calls, and the byte layout of the client object that the
// gateway reads directly. The libraries are closed; zelmo/ is our own
// implementation of exactly this interface, and zelmo_double.cpp a test double.
#pragma once
#include <cstdint>
#include <cstring>

extern "C" {

// Callbacks; all may run on any library thread. The first argument is the value
// handed over at registration (the gateway hands the client handle itself).
typedef int (*ZelmoTunnelConnectedCallBack)(void* client, const char* tunnel_id);    // 0, or -1
typedef int (*ZelmoTunnelClosedCallBack)(void* client);                              // 1
typedef int (*ZelmoNetInfoCallBack)(void* client, int event_code, int count_value);  // 0
typedef void (*ZelmoLogFunc)(int level, const char* text);

// Signs in to the cloud at server ("http://host[:port]" or "host[:port]"); the
// client handle (the address of the client object), or null.
void* Zelmo_CreateClientV3(const char* user, const char* password, const char* server);
void Zelmo_SetClientTunnelConnectedCallBack(void* client, void* user,
                                            ZelmoTunnelConnectedCallBack callback);
void Zelmo_SetClientTunnelClosedCallBack(void* client, void* user,
                                         ZelmoTunnelClosedCallBack callback);
// Fills the device list of the client object.
int Zelmo_ListMyDeviceV3(void* client, const char* device_name);
// Starts the tunnel; success shows only as the connected callback.
int Zelmo_ClientTryConnectDeviceViaTennelV3(void* client, const char* device_sn);
// Ends the client with its tunnel and rules; no callback of it runs afterwards.
int Zelmo_DeleteClient(void* client);
// Copies device list entry index (kZelmoDeviceEntrySize bytes) into entry, whole
// as one refresh of the list left it: the library may rewrite the list on
// another thread at any time, so the host reads entries only this way. 0, or
// -1 (entry untouched) for a bad handle or an index at or past the count.
int Zelmo_CopyDeviceEntry(void* client, int index, void* entry);

// Forwards local_ip:local_port through the tunnel to the device port named by
// rule_name. 0 done, -2 refused for good, any other value: port not usable.
int Zelmo_AddT2URule(void* tunnel_context, const char* tunnel_id, int reserved,
                     const char* rule_name, const char* local_ip, uint16_t local_port);
// Counter kind 1: bytes carried by the tunnel so far, both directions.
int64_t Zelmo_GetT2UCounter(void* tunnel_context, int kind);
void Zelmo_SetNetInfoCallBack(void* tunnel_context, void* user, ZelmoNetInfoCallBack callback);
void Zelmo_SetLogFunc(ZelmoLogFunc sink);
// The sink for a line of this level, or null to drop the line.
ZelmoLogFunc Zelmo_GetLogFunc(int level);

}  // extern "C"

// Byte layout of the client object. The fields sit at offsets that are not
// aligned for 64-bit values, so they are read and written only through memcpy.
constexpr int kZelmoDeviceCountOffset = 128;  // int32
constexpr int kZelmoDeviceListOffset = 132;   // 64 entries follow
constexpr int kZelmoDeviceEntrySize = 488;
constexpr int kZelmoMaxDevices = 64;
constexpr int kZelmoEntrySerialOffset = 0;      // text, 200 bytes
constexpr int kZelmoEntryTunnelIdOffset = 200;  // text, 128 bytes
constexpr int kZelmoEntryKeyOffset = 328;       // text, 64 bytes
constexpr int kZelmoEntryUserOffset = 392;      // text, 96 bytes
constexpr int kZelmoEntrySerialSize = 200;
constexpr int kZelmoEntryTunnelIdSize = 128;
constexpr int kZelmoEntryKeySize = 64;
constexpr int kZelmoEntryUserSize = 96;
constexpr int kZelmoTunnelContextOffset = 31364;  // pointer, null until a tunnel is up
constexpr int kZelmoClientObjectSize = kZelmoTunnelContextOffset + 8;
static_assert(kZelmoDeviceListOffset + kZelmoMaxDevices * kZelmoDeviceEntrySize ==
                  kZelmoTunnelContextOffset,
              "device list ends where the tunnel context begins");
static_assert(sizeof(void*) == 8, "the client object layout is that of the 64-bit library");

inline int32_t ZelmoDeviceCount(const void* client) {
  int32_t n;
  std::memcpy(&n, static_cast<const char*>(client) + kZelmoDeviceCountOffset, sizeof n);
  return n;
}

inline const char* ZelmoDeviceEntry(const void* client, int i) {
  return static_cast<const char*>(client) + kZelmoDeviceListOffset + i * kZelmoDeviceEntrySize;
}
inline const char* ZelmoEntrySerial(const char* entry) {
  return entry + kZelmoEntrySerialOffset;
}
inline const char* ZelmoEntryTunnelId(const char* entry) {
  return entry + kZelmoEntryTunnelIdOffset;
}
inline const char* ZelmoEntryKey(const char* entry) {
  return entry + kZelmoEntryKeyOffset;
}
inline const char* ZelmoEntryUser(const char* entry) {
  return entry + kZelmoEntryUserOffset;
}

// The tunnel context is written by a library thread while the host's threads read
// it, so both sides access it atomically. The field is only 4-byte aligned, but
// it never crosses a cache line of a heap object, and an 8-byte access inside
// one line is atomic on the 64-bit targets we run.
inline void* ZelmoTunnelContext(const void* client) {
  auto field =
      reinterpret_cast<void* const*>(static_cast<const char*>(client) + kZelmoTunnelContextOffset);
  return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}
inline void ZelmoSetTunnelContext(void* client, void* context) {
  auto field = reinterpret_cast<void**>(static_cast<char*>(client) + kZelmoTunnelContextOffset);
  __atomic_store_n(field, context, __ATOMIC_RELEASE);
}
inline void ZelmoSetDeviceCount(void* client, int32_t n) {
  std::memcpy(static_cast<char*>(client) + kZelmoDeviceCountOffset, &n, sizeof n);
}
inline char* ZelmoMutableDeviceEntry(void* client, int i) {
  return static_cast<char*>(client) + kZelmoDeviceListOffset + i * kZelmoDeviceEntrySize;
}

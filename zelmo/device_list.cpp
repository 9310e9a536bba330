// Device list writer (see device_list.h).
#include "zelmo/device_list.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "zelmo/client.h"
#include "zelmo/client_registry.h"
#include "zelmo/zelmo_api.h"

namespace zelmo {
namespace {

// Guards the device lists of all clients: a refresh writes a list whole under
// it, and every reader copies what it needs under it, so no one sees an entry
// half rewritten. Refreshes are rare and short; one lock for all clients is enough.
std::mutex& ListMutex() {
  static std::mutex mutex;
  return mutex;
}

void PutText(char* entry, int offset, int size, const std::string& text) {
  std::size_t n = text.size() < static_cast<std::size_t>(size) ? text.size() : size - 1;
  std::memcpy(entry + offset, text.data(), n);
}

// The entry as it should read: texts cut to their fields, everything else zero.
void BuildEntry(const CloudDevice& device, char (&entry)[kZelmoDeviceEntrySize]) {
  std::memset(entry, 0, sizeof entry);
  PutText(entry, kZelmoEntrySerialOffset, kZelmoEntrySerialSize, device.sn);
  PutText(entry, kZelmoEntryTunnelIdOffset, kZelmoEntryTunnelIdSize, device.tunnel_id);
  PutText(entry, kZelmoEntryKeyOffset, kZelmoEntryKeySize, device.key);
  PutText(entry, kZelmoEntryUserOffset, kZelmoEntryUserSize, device.user);
}

void UpdateBytes(char* target, const char* wanted, int size) {
  for (int i = 0; i < size; ++i) {
    if (target[i] != wanted[i])
      target[i] = wanted[i];
  }
}

}  // namespace

void WriteDeviceList(void* client, const std::vector<CloudDevice>& devices) {
  std::lock_guard<std::mutex> lock(ListMutex());
  int count = static_cast<int>(devices.size());
  if (count > kZelmoMaxDevices)
    count = kZelmoMaxDevices;
  // A reader never sees a count that covers entries not yet written or cleared.
  if (ZelmoDeviceCount(client) > count)
    ZelmoSetDeviceCount(client, count);
  char entry[kZelmoDeviceEntrySize];
  for (int i = 0; i < kZelmoMaxDevices; ++i) {
    if (i < count) {
      BuildEntry(devices[i], entry);
    } else {
      std::memset(entry, 0, sizeof entry);
    }
    UpdateBytes(ZelmoMutableDeviceEntry(client, i), entry, kZelmoDeviceEntrySize);
  }
  if (ZelmoDeviceCount(client) != count)
    ZelmoSetDeviceCount(client, count);
}

int FindDeviceEntry(const void* client, const char* serial) {
  std::lock_guard<std::mutex> lock(ListMutex());
  int count = ZelmoDeviceCount(client);
  for (int i = 0; i < count && i < kZelmoMaxDevices; ++i) {
    if (std::strcmp(ZelmoEntrySerial(ZelmoDeviceEntry(client, i)), serial) == 0)
      return i;
  }
  return -1;
}

int CopyDeviceEntry(const void* client, int index, void* entry) {
  std::lock_guard<std::mutex> lock(ListMutex());
  if (index < 0 || index >= ZelmoDeviceCount(client) || index >= kZelmoMaxDevices)
    return -1;
  std::memcpy(entry, ZelmoDeviceEntry(client, index), kZelmoDeviceEntrySize);
  return 0;
}

}  // namespace zelmo

extern "C" int Zelmo_CopyDeviceEntry(void* client, int index, void* entry) {
  std::shared_ptr<zelmo::ClientState> state = zelmo::FindClient(client);
  if (state == nullptr || entry == nullptr)
    return -1;
  return zelmo::CopyDeviceEntry(state->handle(), index, entry);
}

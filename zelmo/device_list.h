// Writing the device list into the client object. The host program reads the
// list from other threads without a lock while the library refreshes it, so a
// refresh compares first and writes only the bytes that differ: entries that did
// not change are never touched, and the cloud's order keeps them in place.
#pragma once
#include <vector>

#include "zelmo/cloud_api.h"

namespace zelmo {

// Writes devices (at most kZelmoMaxDevices, the rest is dropped) and their count
// into the object; entries past the count are cleared. Texts are cut to their
// fields and always end with a NUL. Callers serialise writers.
void WriteDeviceList(void* client, const std::vector<CloudDevice>& devices);

// The index of the entry with this serial, or -1.
int FindDeviceEntry(const void* client, const char* serial);

}  // namespace zelmo

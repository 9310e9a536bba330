// Writing the device list into the client object. A refresh writes the list
// under one lock, and readers (Zelmo_CopyDeviceEntry, FindDeviceEntry) copy
// under the same lock, so an entry is only ever seen whole. A refresh still
// writes only the bytes that differ, so unchanged entries are never touched.
#pragma once
#include <vector>

#include "zelmo/cloud_api.h"

namespace zelmo {

// Writes devices (at most kZelmoMaxDevices, the rest is dropped) and their count
// into the object; entries past the count are cleared. Texts are cut to their
// fields and always end with a NUL.
void WriteDeviceList(void* client, const std::vector<CloudDevice>& devices);

// The index of the entry with this serial, or -1.
int FindDeviceEntry(const void* client, const char* serial);

// Copies entry index whole into entry (kZelmoDeviceEntrySize bytes); 0, or -1
// past the count. Behind Zelmo_CopyDeviceEntry.
int CopyDeviceEntry(const void* client, int index, void* entry);

}  // namespace zelmo

// This computer's own IPv4 address, for the port record that sends the browser
// on to the device. Looked up afresh for every connection, so a change of the
// computer's addresses shows in the next one.
#pragma once

constexpr int kLocalIpCapacity = 20;

// Writes the first address of the host name's resolver list that is not exactly
// "127.0.0.1" into local_ip (kLocalIpCapacity bytes, cleared by the caller) and
// returns 0; -1 when there is none. A host name that cannot be read is logged
// and the local host's own list is used; a name that cannot be resolved is
// logged. The caller logs "GetLocalIp error!" on -1. Thread-safe.
int GetLocalIp(char* local_ip);

// The connection pipeline: one worker thread serves one browser request from
// receipt to reply. It reads and checks the request (query fields, check code,
// device texts, freshness against the service clock), finds the device's
// session, and then sends the redirect page of a ready session, or a page file
// and, where needed, starts the connection to the device. The worker never
// closes the connection: it marks its slot finished and the reaper closes it.
#pragma once
#include "platform/net.h"

constexpr int kReceiveCapacity = 2048;  // one read, NUL included

// Longest wait for the request's bytes, in milliseconds: 30 s for the whole
// connection, icon requests included, after which it ends like a failed read,
// so idle or slow connections cannot hold every slot for ever. Tests shorten it.
extern int ReceiveWaitMs;

// Thread routine; its argument is the worker's WorkerSlot. Exit code 0 when the
// redirect page was sent or a device connection was started or found, -1 on
// every failure and after "trystunfailed.html".
unsigned HandleConnection(void* slot);

// The pipeline on connection s; the exit code of HandleConnection.
int ServeConnection(platform::Socket s);

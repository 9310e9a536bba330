// The gateway's listening socket and accept loop: each accepted connection gets
// the first free worker slot and a worker thread running HandleConnection.
#pragma once
#include <cstdint>

#include "platform/net.h"
#include "platform/thread.h"

constexpr uint16_t kGatewayPort = 9999;
constexpr int kGatewayBacklog = 64;
constexpr uint32_t kAcceptRetryPauseMs = 100;  // after a failure that passes

// The way a worker thread is started; platform::ThreadStart in the program.
using WorkerStarter = int (*)(platform::ThreadRoutine routine, void* arg,
                              platform::ThreadHandle* handle, uint32_t* id);

// A socket listening on 0.0.0.0:port, or kInvalidSocket after its level-3 line
// ("Failed socket()", "Failed bind()" or "Failed listen()" with the error code).
platform::Socket OpenGatewayListener(uint16_t port);

// Gives connection s a worker slot and a thread. A connection that finds every
// slot taken, or whose thread cannot start, is closed at once with a level-3
// line. Returns the slot's index, or -1.
int HandOverConnection(platform::Socket s, WorkerStarter start);

// Accepts until accepting fails for good; then logs, closes the listener and
// returns 0. A failure that passes (platform::IsTransientAcceptError) is logged
// once per burst and retried after kAcceptRetryPauseMs.
int AcceptLoop(platform::Socket listener, WorkerStarter start);

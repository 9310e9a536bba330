// The thread of the direct path. Its two libraries (ICE, STUN and TURN; SCTP
// over UDP) keep state that is not safe across threads, so everything that
// touches them runs on one thread per process, started on first use and kept
// until the process ends. Other threads hand it work with PostToEngine.
//
// SCTP runs without threads of its own: the engine drives its timers, and its
// outgoing packets come back through a sink that the owner of each
// association registers under the association's address.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zelmo {

// Runs work on the engine's thread, in the order posted. False when the engine
// cannot be started or takes no more work; work is then dropped.
bool PostToEngine(std::function<void()> work);
// True on the engine's own thread.
bool OnEngineThread();

// Where SCTP's packets for one association go, on the engine's thread.
using PacketSink = std::function<void(const uint8_t* data, std::size_t length)>;
// Registers an association's address (engine thread only); packets for it go
// to sink until it is unregistered.
void RegisterPacketSink(void* address, PacketSink sink);
void UnregisterPacketSink(void* address);

}  // namespace zelmo

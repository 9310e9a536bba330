// Forwarding without copying: where the system can, a stream's bytes move from
// one socket into a kernel pipe and from there into another socket, and never
// pass through the process's memory. Linux does (splice); Windows has no such
// thing, so there every open fails and the caller copies as before.
// Results follow net.h: bytes moved or 0 and -1 on failure, with the reason in
// LastSocketError(). Both sockets must be non-blocking; no call ever waits.
#pragma once
#include "platform/net.h"

namespace platform {

struct SplicePipe;

// Opens a kernel pipe for one direction of a stream and asks the system to let
// it hold about capacity bytes (it may keep less). Null when none can be had:
// out of descriptors, or no forwarding without copying on this system (then
// IsSpliceUnsupportedError holds for the reason). On POSIX the first open also
// ignores SIGPIPE for the process, as NetStartup does: the move into a socket
// has no no-signal flag of its own.
SplicePipe* SplicePipeOpen(int capacity);
void SplicePipeClose(SplicePipe* pipe);  // null is fine

// Moves up to len bytes from socket s into the pipe: the count, 0 at the
// orderly end of s, -1 on failure (IsWouldBlockError: nothing to read now, or
// the pipe is full).
int SpliceFromSocket(Socket s, SplicePipe* pipe, int len);
// Moves up to len bytes that wait in the pipe into socket s: the count, or -1
// (IsWouldBlockError: s cannot take more now).
int SpliceToSocket(SplicePipe* pipe, Socket s, int len);
// Reads up to len bytes that wait in the pipe into buf, for a caller that goes
// over to copying with bytes still in the pipe: the count (0 when it is empty),
// or -1.
int SplicePipeRead(SplicePipe* pipe, void* buf, int len);

// Whether the next byte to read from s is urgent data: 1 yes, 0 no, -1 on
// failure. A move into a pipe stops there and never passes it; it then takes
// nothing although s is readable, or reads as the end once s has ended too. A
// plain read passes it.
int SocketAtUrgentMark(Socket s);

// The failures that say these sockets, or this system, cannot be spliced at all
// (as opposed to a failing connection): copy instead.
bool IsSpliceUnsupportedError(int code);

}  // namespace platform

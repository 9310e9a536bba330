// Threads, sleeping and the wall clock.
#pragma once
#include <cstdint>

namespace platform {

// A thread's handle as an opaque integer of pointer size (a HANDLE on Windows, a
// pthread_t on POSIX), so no system header comes through here.
using ThreadHandle = std::uintptr_t;

using ThreadRoutine = unsigned (*)(void* arg);

// Starts routine(arg) at once with the default stack size. On success stores the
// handle and the thread id and returns 0; -1 otherwise (LastSystemError() tells).
int ThreadStart(ThreadRoutine routine, void* arg, ThreadHandle* handle, uint32_t* id);
// Releases the handle of a thread that has finished or is about to (CloseHandle
// on Windows; join on POSIX, which reaps the thread's resources).
void ThreadRelease(ThreadHandle handle);
uint32_t CurrentThreadId();
void SleepMs(uint32_t ms);
int64_t TimeSeconds();
// Milliseconds of a clock that never steps back, for deadlines.
int64_t MonotonicMs();  // seconds since the epoch, 64-bit (_time64)
int LastSystemError();  // GetLastError() / errno

}  // namespace platform

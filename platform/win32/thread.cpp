// Windows threads, sleeping and the clock. Threads start through the C
// runtime's _beginthreadex so the runtime's per-thread data is set up and freed;
// a small heap record carries routine and argument to a trampoline with the
// runtime's calling convention. The returned handle is closed when released;
// _beginthreadex already gives it as the integer a ThreadHandle is.
#include "platform/thread.h"

#include <windows.h>

#include <cerrno>
#include <ctime>
#include <new>
#include <process.h>

namespace platform {

namespace {

struct ThreadStartRecord {
  ThreadRoutine routine;
  void* arg;
};

unsigned __stdcall Trampoline(void* p) {
  ThreadStartRecord start = *static_cast<ThreadStartRecord*>(p);
  delete static_cast<ThreadStartRecord*>(p);
  return start.routine(start.arg);
}

}  // namespace

int ThreadStart(ThreadRoutine routine, void* arg, ThreadHandle* handle, uint32_t* id) {
  auto* start = new (std::nothrow) ThreadStartRecord{routine, arg};
  if (start == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  unsigned thread_id = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, Trampoline, start, 0, &thread_id);
  if (h == 0) {
    delete start;
    return -1;
  }
  *handle = h;
  if (id != nullptr)
    *id = thread_id;
  return 0;
}

void ThreadRelease(ThreadHandle handle) {
  CloseHandle(reinterpret_cast<HANDLE>(handle));
}

uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}

void SleepMs(uint32_t ms) {
  Sleep(ms);
}

int64_t TimeSeconds() {
  return static_cast<int64_t>(_time64(nullptr));
}

int64_t MonotonicMs() {
  return static_cast<int64_t>(GetTickCount64());
}

int LastSystemError() {
  return static_cast<int>(GetLastError());
}

}  // namespace platform

// POSIX threads, sleeping and the clock. A thread routine returns unsigned as on
// Windows, so a small heap record carries routine and argument to a trampoline
// with pthread's signature. Thread ids are small numbers from one process-wide
// counter: ThreadStart hands the new thread its id, and any other thread draws
// one the first time it asks, so an id is never reused and matches what
// CurrentThreadId says inside the thread. Releasing a handle joins the thread: that is what
// frees a finished thread's stack, and callers release only threads that have
// finished or are about to. The pthread_t is carried in the opaque handle.
#include "platform/thread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

namespace platform {

namespace {

struct ThreadStartRecord {
  ThreadRoutine routine;
  void* arg;
  uint32_t id;
};

static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle), "a pthread_t must fit a ThreadHandle");

// pthread_t may be an integer or a pointer; its bytes travel unchanged.
ThreadHandle HandleOf(pthread_t t) {
  ThreadHandle handle = 0;
  memcpy(&handle, &t, sizeof t);
  return handle;
}

pthread_t ThreadOf(ThreadHandle handle) {
  pthread_t t;
  memcpy(&t, &handle, sizeof t);
  return t;
}

std::atomic<uint32_t> next_thread_id{1};
thread_local uint32_t this_thread_id = 0;

void* Trampoline(void* p) {
  ThreadStartRecord start = *static_cast<ThreadStartRecord*>(p);
  delete static_cast<ThreadStartRecord*>(p);
  this_thread_id = start.id;
  start.routine(start.arg);
  return nullptr;
}

}  // namespace

int ThreadStart(ThreadRoutine routine, void* arg, ThreadHandle* handle, uint32_t* id) {
  const uint32_t new_id = next_thread_id.fetch_add(1);
  auto* start = new (std::nothrow) ThreadStartRecord{routine, arg, new_id};
  if (start == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  pthread_t t;
  int err = pthread_create(&t, nullptr, Trampoline, start);
  if (err != 0) {
    delete start;
    errno = err;
    return -1;
  }
  *handle = HandleOf(t);
  if (id != nullptr)
    *id = new_id;
  return 0;
}

void ThreadRelease(ThreadHandle handle) {
  pthread_join(ThreadOf(handle), nullptr);
}

uint32_t CurrentThreadId() {
  if (this_thread_id == 0)
    this_thread_id = next_thread_id.fetch_add(1);
  return this_thread_id;
}

void SleepMs(uint32_t ms) {
  timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

int64_t TimeSeconds() {
  return static_cast<int64_t>(time(nullptr));
}

int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int LastSystemError() {
  return errno;
}

}  // namespace platform

// Threads start at once with their argument, report the id they were given,
// and can be released once done; the clock is the wall clock in seconds.
#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <ctime>

#include <gtest/gtest.h>

namespace platform {
namespace {

struct Probe {
  std::atomic<int> runs{0};
  std::atomic<uint32_t> seen_id{0};
  std::atomic<bool> done{false};
};

unsigned RecordRun(void* arg) {
  auto* probe = static_cast<Probe*>(arg);
  probe->seen_id = CurrentThreadId();
  probe->runs++;
  probe->done = true;
  return 0;
}

void WaitDone(const Probe& probe) {
  for (int i = 0; i < 5000 && !probe.done; i++)
    SleepMs(1);
  ASSERT_TRUE(probe.done);
}

TEST(ThreadTest, StartsRoutineWithArgumentAndId) {
  Probe probe;
  ThreadHandle handle;
  uint32_t id = 0;
  ASSERT_EQ(ThreadStart(RecordRun, &probe, &handle, &id), 0);
  WaitDone(probe);
  ThreadRelease(handle);
  EXPECT_EQ(probe.runs, 1);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(probe.seen_id, id);
  EXPECT_NE(id, CurrentThreadId());
}

TEST(ThreadTest, ManyThreadsEachRunOnceWithDistinctIds) {
  constexpr int kThreads = 64;
  Probe probes[kThreads];
  ThreadHandle handles[kThreads];
  uint32_t ids[kThreads];
  for (int i = 0; i < kThreads; i++) {
    ASSERT_EQ(ThreadStart(RecordRun, &probes[i], &handles[i], &ids[i]), 0);
  }
  for (int i = 0; i < kThreads; i++) {
    WaitDone(probes[i]);
    ThreadRelease(handles[i]);
    EXPECT_EQ(probes[i].runs, 1);
    EXPECT_EQ(probes[i].seen_id, ids[i]);
    for (int j = 0; j < i; j++)
      EXPECT_NE(ids[i], ids[j]);
  }
}

// The reaper starts and releases threads for the life of the process.
TEST(ThreadTest, StartAndReleaseRepeatedly) {
  for (int i = 0; i < 500; i++) {
    Probe probe;
    ThreadHandle handle;
    ASSERT_EQ(ThreadStart(RecordRun, &probe, &handle, nullptr), 0) << "start " << i;
    WaitDone(probe);
    ThreadRelease(handle);
  }
}

TEST(ThreadTest, CurrentThreadIdIsStable) {
  EXPECT_EQ(CurrentThreadId(), CurrentThreadId());
}

TEST(ThreadTest, SleepLastsAtLeastItsTime) {
  auto before = std::chrono::steady_clock::now();
  SleepMs(30);
  auto slept = std::chrono::steady_clock::now() - before;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(slept).count(), 29);
}

TEST(ThreadTest, TimeSecondsIsTheWallClock) {
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  int64_t now = TimeSeconds();
  int64_t after = static_cast<int64_t>(std::time(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

}  // namespace
}  // namespace platform

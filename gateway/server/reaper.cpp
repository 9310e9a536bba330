// Reaper thread (see reaper.h).
#include "gateway/server/reaper.h"

#include "gateway/server/worker_slots.h"
#include "gateway/tunnel/session_reaper.h"
#include "platform/thread.h"

namespace {
constexpr uint32_t kPassPauseMs = 1000;
}  // namespace

void ReaperPass() {
  FreeFinishedSlots();
  ReapSessions();
}

unsigned DeleteClient(void*) {
  for (;;) {
    ReaperPass();
    platform::SleepMs(kPassPauseMs);
  }
}

// Worker slots (see worker_slots.h). State and HandleStored are stored with
// release and loaded with acquire, so whoever sees the new State also sees the
// fields written before it.
#include "gateway/server/worker_slots.h"

WorkerSlot WorkerSlots[kWorkerSlotCount];

namespace {

void ClearSlot(WorkerSlot& slot) {
  slot.Socket = platform::Socket();
  slot.ThreadHandle = platform::ThreadHandle();
  slot.ThreadId = 0;
  slot.HandleStored.store(0, std::memory_order_relaxed);
  slot.State.store(kSlotFree, std::memory_order_release);
}

}  // namespace

void ClearWorkerSlots() {
  for (WorkerSlot& slot : WorkerSlots)
    ClearSlot(slot);
}

int ClaimWorkerSlot(platform::Socket s) {
  for (int i = 0; i < kWorkerSlotCount; ++i) {
    WorkerSlot& slot = WorkerSlots[i];
    if (slot.State.load(std::memory_order_acquire) != kSlotFree)
      continue;
    slot.Socket = s;
    slot.State.store(kSlotRunning, std::memory_order_release);
    return i;
  }
  return -1;
}

void ReturnWorkerSlot(int index) {
  ClearSlot(WorkerSlots[index]);
}

void StoreWorkerThread(int index, platform::ThreadHandle handle, uint32_t id) {
  WorkerSlot& slot = WorkerSlots[index];
  slot.ThreadHandle = handle;
  slot.ThreadId = id;
  slot.HandleStored.store(1, std::memory_order_release);
}

void FinishWorkerSlot(WorkerSlot* slot) {
  slot->State.store(kSlotFinished, std::memory_order_release);
}

int FreeFinishedSlots() {
  int freed = 0;
  for (WorkerSlot& slot : WorkerSlots) {
    if (slot.State.load(std::memory_order_acquire) != kSlotFinished)
      continue;
    if (slot.HandleStored.load(std::memory_order_acquire) == 0)
      continue;
    platform::SocketClose(slot.Socket);
    platform::ThreadRelease(slot.ThreadHandle);
    ClearSlot(slot);
    ++freed;
  }
  return freed;
}

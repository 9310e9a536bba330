// Worker slots: one per connection being served, at most 64 at a time. A slot is
// handed from thread to thread through its State word alone: only the accept
// loop moves it from free to running, only its worker from running to finished,
// only the reaper from finished back to free. The other fields are written by
// the accept loop before it publishes them and read by the reaper after.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/net.h"
#include "platform/thread.h"

constexpr int kWorkerSlotCount = 64;
constexpr int32_t kSlotFree = 0;
constexpr int32_t kSlotRunning = 1;
constexpr int32_t kSlotFinished = 2;

struct WorkerSlot {
  platform::Socket Socket;
  std::atomic<int32_t> State;
  platform::ThreadHandle ThreadHandle;
  uint32_t ThreadId;
  // Set once ThreadHandle is in place: a worker may finish before the accept
  // loop has stored its handle, and the reaper must not free the slot before.
  std::atomic<int32_t> HandleStored;
};

extern WorkerSlot WorkerSlots[kWorkerSlotCount];

// Start-up: every slot free and zero.
void ClearWorkerSlots();
// Accept loop: the first free slot, now running with socket s; -1 when all are
// taken.
int ClaimWorkerSlot(platform::Socket s);
// Accept loop: the worker's thread could not be started; the slot is free again.
void ReturnWorkerSlot(int index);
// Accept loop: the worker's thread handle and id are in place.
void StoreWorkerThread(int index, platform::ThreadHandle handle, uint32_t id);
// Worker: its very last action.
void FinishWorkerSlot(WorkerSlot* slot);
// Reaper: closes the socket and releases the thread of every finished slot whose
// handle is stored, and frees the slot. Returns the number freed.
int FreeFinishedSlots();

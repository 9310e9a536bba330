#include "gateway/server/worker_slots.h"

#include <gtest/gtest.h>

#include "platform/net.h"
#include "platform/thread.h"

namespace {

unsigned ReturnAtOnce(void*) {
  return 0;
}

// A connected pair on loopback: the peer's socket and ours.
struct Connection {
  platform::Socket peer = platform::kInvalidSocket;
  platform::Socket ours = platform::kInvalidSocket;
};

Connection Connect() {
  platform::Socket listener = platform::TcpSocket();
  platform::SocketBind(listener, "127.0.0.1", 0);
  platform::SocketListen(listener, 1);
  Connection c;
  c.peer = platform::TcpSocket();
  platform::SocketConnect(c.peer, "127.0.0.1", platform::SocketLocalPort(listener));
  c.ours = platform::SocketAccept(listener);
  platform::SocketClose(listener);
  return c;
}

class WorkerSlotsTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearWorkerSlots(); }
  void TearDown() override { ClearWorkerSlots(); }
};

TEST_F(WorkerSlotsTest, SlotsAreHandedOutFromTheFirstFree) {
  EXPECT_EQ(ClaimWorkerSlot(11), 0);
  EXPECT_EQ(ClaimWorkerSlot(12), 1);
  EXPECT_EQ(WorkerSlots[1].Socket, 12);
  EXPECT_EQ(WorkerSlots[1].State.load(), kSlotRunning);
  ReturnWorkerSlot(0);
  EXPECT_EQ(WorkerSlots[0].State.load(), kSlotFree);
  EXPECT_EQ(ClaimWorkerSlot(13), 0);
  for (int i = 2; i < kWorkerSlotCount; ++i)
    ASSERT_EQ(ClaimWorkerSlot(20 + i), i);
  EXPECT_EQ(ClaimWorkerSlot(99), -1);
}

TEST_F(WorkerSlotsTest, FinishedSlotIsClosedAndFreedInOnePass) {
  Connection c = Connect();
  int i = ClaimWorkerSlot(c.ours);
  platform::ThreadHandle handle;
  uint32_t id;
  ASSERT_EQ(platform::ThreadStart(ReturnAtOnce, nullptr, &handle, &id), 0);
  StoreWorkerThread(i, handle, id);
  EXPECT_EQ(FreeFinishedSlots(), 0);  // still running
  FinishWorkerSlot(&WorkerSlots[i]);
  EXPECT_EQ(FreeFinishedSlots(), 1);
  EXPECT_EQ(WorkerSlots[i].State.load(), kSlotFree);
  EXPECT_EQ(WorkerSlots[i].HandleStored.load(), 0);
  // The connection was closed: the peer reads its end.
  ASSERT_EQ(platform::WaitReadable(c.peer, 2000), 1);
  char byte;
  EXPECT_EQ(platform::SocketRecv(c.peer, &byte, 1), 0);
  platform::SocketClose(c.peer);
}

TEST_F(WorkerSlotsTest, FinishedSlotWaitsForItsThreadHandle) {
  Connection c = Connect();
  int i = ClaimWorkerSlot(c.ours);
  FinishWorkerSlot(&WorkerSlots[i]);  // the worker ended before its handle was stored
  EXPECT_EQ(FreeFinishedSlots(), 0);
  EXPECT_EQ(WorkerSlots[i].State.load(), kSlotFinished);
  EXPECT_EQ(platform::WaitReadable(c.peer, 0), 0);  // still open
  platform::ThreadHandle handle;
  uint32_t id;
  ASSERT_EQ(platform::ThreadStart(ReturnAtOnce, nullptr, &handle, &id), 0);
  StoreWorkerThread(i, handle, id);
  EXPECT_EQ(FreeFinishedSlots(), 1);
  platform::SocketClose(c.peer);
}

}  // namespace

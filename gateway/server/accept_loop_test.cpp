#include "gateway/server/accept_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gateway/server/worker_slots.h"
#include "gateway/testing/log_capture.h"
#include "platform/net.h"
#include "platform/thread.h"

namespace {

// Workers of these tests wait for the test's word, then finish their slot, as
// the pipeline does at its end.
std::atomic<bool> WorkersMayFinish{false};

unsigned FinishWhenAllowed(void* slot) {
  while (!WorkersMayFinish.load())
    platform::SleepMs(1);
  FinishWorkerSlot(static_cast<WorkerSlot*>(slot));
  return 0;
}

int StartWaitingWorker(platform::ThreadRoutine, void* arg, platform::ThreadHandle* handle,
                       uint32_t* id) {
  return platform::ThreadStart(FinishWhenAllowed, arg, handle, id);
}

int FailToStart(platform::ThreadRoutine, void*, platform::ThreadHandle*, uint32_t*) {
  return -1;
}

bool PeerSeesClose(platform::Socket peer) {
  if (platform::WaitReadable(peer, 2000) != 1)
    return false;
  char byte;
  return platform::SocketRecv(peer, &byte, 1) == 0;
}

class AcceptLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearWorkerSlots();
    WorkersMayFinish.store(false);
    listener_ = platform::TcpSocket();
    ASSERT_EQ(platform::SocketBind(listener_, "127.0.0.1", 0), 0);
    ASSERT_EQ(platform::SocketListen(listener_, kGatewayBacklog), 0);
    port_ = platform::SocketLocalPort(listener_);
  }
  void TearDown() override {
    WorkersMayFinish.store(true);
    while (FreeFinishedSlots() > 0 || AnySlotBusy())
      platform::SleepMs(1);
    for (platform::Socket s : peers_)
      platform::SocketClose(s);
    if (listener_ != platform::kInvalidSocket)
      platform::SocketClose(listener_);
  }

  static bool AnySlotBusy() {
    for (WorkerSlot& slot : WorkerSlots) {
      if (slot.State.load() != kSlotFree)
        return true;
    }
    return false;
  }

  // A new connection: the peer's socket kept by the test, ours accepted.
  platform::Socket Accept() {
    platform::Socket peer = platform::TcpSocket();
    EXPECT_EQ(platform::SocketConnect(peer, "127.0.0.1", port_), 0);
    peers_.push_back(peer);
    return platform::SocketAccept(listener_);
  }

  platform::Socket listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::vector<platform::Socket> peers_;
};

TEST_F(AcceptLoopTest, SixtyFifthConnectionIsClosedAtOnceAndTheNextFindsAFreedSlot) {
  LogCapture log;
  for (int i = 0; i < kWorkerSlotCount; ++i)
    ASSERT_EQ(HandOverConnection(Accept(), StartWaitingWorker), i);
  std::vector<LoggedLine> lines = log.Taken();
  ASSERT_EQ(lines.size(), 64u);
  EXPECT_EQ(lines[0].text, "create thread : 0");
  EXPECT_EQ(lines[63].text, "create thread : 63");

  EXPECT_EQ(HandOverConnection(Accept(), StartWaitingWorker), -1);
  EXPECT_TRUE(PeerSeesClose(peers_.back()));
  lines = log.Taken();
  ASSERT_EQ(lines.size(), 65u);
  EXPECT_EQ(lines[64].level, 3);
  EXPECT_EQ(lines[64].text, "All 64 worker slots busy, connection closed");

  WorkersMayFinish.store(true);
  int freed = 0;
  while (freed < kWorkerSlotCount)
    freed += FreeFinishedSlots();
  EXPECT_TRUE(PeerSeesClose(peers_[0]));
  WorkersMayFinish.store(false);
  EXPECT_EQ(HandOverConnection(Accept(), StartWaitingWorker), 0);
}

TEST_F(AcceptLoopTest, WorkerThatCannotStartFreesItsSlotAndConnection) {
  LogCapture log;
  EXPECT_EQ(HandOverConnection(Accept(), FailToStart), -1);
  EXPECT_EQ(WorkerSlots[0].State.load(), kSlotFree);
  EXPECT_TRUE(PeerSeesClose(peers_.back()));
  std::vector<LoggedLine> lines = log.Taken();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].level, 3);
  EXPECT_EQ(lines[1].text.rfind("Create HandleConnection thread error,error code :", 0), 0u);
  EXPECT_EQ(HandOverConnection(Accept(), StartWaitingWorker), 0);
}

TEST_F(AcceptLoopTest, FailedAcceptEndsTheLoopWithZero) {
  platform::Socket not_listening = platform::TcpSocket();
  LogCapture log;
  EXPECT_EQ(AcceptLoop(not_listening, StartWaitingWorker), 0);
  std::vector<LoggedLine> lines = log.Taken();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].text.rfind("Failed accept(),error code :", 0), 0u);
}

TEST_F(AcceptLoopTest, BusyPortFailsTheBindWithItsErrorCode) {
  LogCapture log;
  EXPECT_EQ(OpenGatewayListener(port_), platform::kInvalidSocket);
  std::vector<LoggedLine> lines = log.Taken();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].text.rfind("Failed bind(),error code :", 0), 0u);
  EXPECT_NE(lines[0].text, "Failed bind(),error code :0");
}

}  // namespace

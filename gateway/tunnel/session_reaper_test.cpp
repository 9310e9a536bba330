#include "gateway/tunnel/session_reaper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "gateway/testing/log_capture.h"
#include "gateway/testing/zelmo_double.h"
#include "gateway/tunnel/device_connect.h"
#include "gateway/tunnel/session_table.h"
#include "zelmo/zelmo_api.h"

namespace {

class SessionReaperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zelmo_double::Reset();
    ClearSessionTables();
  }
  void TearDown() override {
    ClearSessionTables();
    zelmo_double::Reset();
  }

  // A live session at index i with a client of the double; with_tunnel gives the
  // client a tunnel context.
  void* PutSession(int i, const char* sn, const char* name, bool with_tunnel) {
    void* client = Zelmo_CreateClientV3("u", "p", "server");
    if (with_tunnel)
      zelmo_double::GiveTunnelContext(client);
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
    std::memset(&r, 0, sizeof r);
    r.ClientHandle = client;
    std::strcpy(r.DeviceSn, sn);
    std::strcpy(r.DeviceName, name);
    r.Phase = kSessionLive;
    r.IdleCountdown = kIdleStart;
    return client;
  }

  void PutLoopCount(int i, const char* sn, const char* name, int32_t count) {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    CLIENTDEVICE_HANDLE& r = Sessions.DeviceLoopCounts[i];
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.DeviceSn, sn);
    std::strcpy(r.DeviceName, name);
    r.looptime = count;
  }

  int32_t Countdown(int i) {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    return Sessions.DeviceSessions[i].IdleCountdown;
  }
  bool IsFree(int i) {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    return Sessions.DeviceSessions[i].Phase == kSessionFree &&
           Sessions.DeviceSessions[i].ClientHandle == nullptr;
  }
};

TEST_F(SessionReaperTest, TrafficAboveSeventyStartsTheCountdownAgain) {
  void* client = PutSession(0, "SN1", "cam", true);
  {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    Sessions.DeviceSessions[0].IdleCountdown = 5;
  }
  zelmo_double::SetCounter(client, 71);
  ReapSessions();
  EXPECT_EQ(Countdown(0), kIdleStart);
  EXPECT_EQ(Sessions.DeviceSessions[0].LastT2UCount, 71);

  zelmo_double::SetCounter(client, 141);  // exactly 70 more: idle
  ReapSessions();
  EXPECT_EQ(Countdown(0), kIdleStart - 1);
  EXPECT_EQ(Sessions.DeviceSessions[0].LastT2UCount, 141);
}

TEST_F(SessionReaperTest, IdleSessionGoesAtTheEndOfItsCountdown) {
  void* client = PutSession(2, "SN1", "cam", true);
  zelmo_double::SetCounter(client, 10);
  LogCapture log;
  for (int pass = 1; pass < kIdleStart; ++pass) {
    ReapSessions();
    ASSERT_EQ(Countdown(2), kIdleStart - pass);
  }
  EXPECT_EQ(zelmo_double::DeletedCount(), 0);
  ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 1);
  EXPECT_TRUE(IsFree(2));
  EXPECT_EQ(log.Texts().back(), "DeleteClientHandle[2]");
}

TEST_F(SessionReaperTest, CounterGoingDownCountsAsIdle) {
  void* client = PutSession(0, "SN1", "cam", true);
  zelmo_double::SetCounter(client, 1000);
  ReapSessions();
  zelmo_double::SetCounter(client, 100);
  ReapSessions();
  EXPECT_EQ(Countdown(0), kIdleStart - 1);
}

// Given up on by a worker while its tunnel still streams: it lives on.
TEST_F(SessionReaperTest, DoomedSessionGoesAtItsFirstIdlePassOnly) {
  void* client = PutSession(1, "SN1", "cam", true);
  DoomSession(1);
  zelmo_double::SetCounter(client, 500);
  ReapSessions();
  EXPECT_EQ(Countdown(1), kIdleStart);  // still carrying traffic
  EXPECT_EQ(zelmo_double::DeletedCount(), 0);
  DoomSession(1);
  ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 1);
  EXPECT_TRUE(IsFree(1));
}

// The traffic a closed tunnel's counter shows was carried before the close.
TEST_F(SessionReaperTest, ClosedTunnelGoesAtTheNextPassWhateverItCarriedBefore) {
  void* client = PutSession(1, "SN1", "cam", true);
  zelmo_double::SetCounter(client, 1 << 20);
  DoomClientSessions(client);
  ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 1);
  EXPECT_TRUE(IsFree(1));
}

TEST_F(SessionReaperTest, LoopCountAtTheLimitGoesWithItsSessionBelowItStays) {
  void* done = PutSession(3, "SN1", "cam", true);
  void* waiting = PutSession(4, "SN2", "cam", true);
  PutLoopCount(6, "SN1", "cam", GiveUpLimit);
  PutLoopCount(7, "SN2", "cam", GiveUpLimit - 1);
  DoomClientSessions(done);
  DoomClientSessions(waiting);
  LogCapture log;
  ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 2);
  EXPECT_EQ(Sessions.DeviceLoopCounts[6].DeviceSn[0], '\0');
  EXPECT_EQ(Sessions.DeviceLoopCounts[6].looptime, 0);
  EXPECT_STREQ(Sessions.DeviceLoopCounts[7].DeviceSn, "SN2");
  EXPECT_EQ(Sessions.DeviceLoopCounts[7].looptime, GiveUpLimit - 1);
  std::vector<std::string> lines = log.Texts();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "DeleteClientHandle4Count[6:3]");
  EXPECT_EQ(lines[1], "DeleteClientHandle[3]");
  EXPECT_EQ(lines[2], "DeleteClientHandle[4]");
}

TEST_F(SessionReaperTest, SessionWithoutTunnelIsNotCountedDownButGoesOnceDoomed) {
  void* client = PutSession(0, "SN1", "cam", false);
  for (int pass = 0; pass < 3; ++pass)
    ReapSessions();
  EXPECT_EQ(Countdown(0), kIdleStart);
  EXPECT_TRUE(zelmo_double::CallsNamed("Zelmo_GetT2UCounter").empty());
  DoomClientSessions(client);
  ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 1);
  EXPECT_TRUE(IsFree(0));
}

TEST_F(SessionReaperTest, SessionInUseIsNeverDeleted) {
  PutSession(0, "SN1", "cam", false);
  void* tunnelled = PutSession(1, "SN2", "cam", true);
  SessionView view;
  int held = AcquireDeviceSession("SN1", "cam", &view);
  int held_too = AcquireDeviceSession("SN2", "cam", &view);
  DoomSession(held);
  DoomSession(held_too);
  zelmo_double::SetCounter(tunnelled, 5);
  for (int pass = 0; pass < 3; ++pass)
    ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 0);
  EXPECT_EQ(Countdown(1), 0);
  ReleaseSession(held);
  ReleaseSession(held_too);
  ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 2);
}

// The library waits for a callback in flight when its client is deleted; the
// closed callback takes the tables' lock, so the reaper must not hold it then.
TEST_F(SessionReaperTest, ClientIsDeletedOutsideTheTablesLock) {
  void* client = PutSession(0, "SN1", "cam", false);
  Zelmo_SetClientTunnelClosedCallBack(client, client, CloudTunnelClosedCallBackFun);
  DoomClientSessions(client);
  zelmo_double::FireClosedDuringDelete(client);
  ReapSessions();
  EXPECT_EQ(zelmo_double::DeletedCount(), 1);
  EXPECT_EQ(zelmo_double::CallbacksFinishedInDelete(), 1);
  EXPECT_TRUE(IsFree(0));
}

TEST_F(SessionReaperTest, RecordsBeingCreatedAreLeftAlone) {
  bool existed;
  int i = FindOrClaimSession("SN1", "cam", &existed);
  DoomSession(i);
  ReapSessions();
  EXPECT_EQ(Sessions.DeviceSessions[i].Phase, kSessionCreating);
  EXPECT_TRUE(zelmo_double::CallsNamed("Zelmo_DeleteClient").empty());
}

// Sessions whose tunnel never comes up must not hold the table when no browser
// waits for them any longer.
TEST_F(SessionReaperTest, ConnectingSessionNobodyAsksForIsDoomedAndDeleted) {
  LogCapture log;
  PutSession(0, "SN1", "cam", false);
  PutSession(1, "SN2", "cam", true);
  PutSession(2, "SN3", "cam", false);
  for (int i = 0; i < 3; ++i)
    Sessions.DeviceSessions[i].UnaskedPasses = kUnaskedConnectingPasses - 2;
  ReapSessions();
  int looptime = 0;
  int looptimeall = 0;
  CountWaitingRequest(2, &looptime, &looptimeall);
  ReapSessions();
  EXPECT_TRUE(IsFree(0));
  EXPECT_TRUE(IsFree(1));
  EXPECT_FALSE(IsFree(2));
  EXPECT_EQ(Countdown(2), kIdleStart);
  EXPECT_EQ(zelmo_double::DeletedCount(), 2);
  std::vector<std::string> texts = log.Texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Session[0] of SN1 doomed: still connecting and not asked for in 600 passes"),
            texts.end());
}

}  // namespace

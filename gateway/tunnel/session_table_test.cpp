#include "gateway/tunnel/session_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

void* FakeClient(int n) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(0x1000 * n));
}

void PutSession(int i, void* client, const char* sn, const char* name,
                int32_t phase = kSessionLive) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceSessions[i];
  std::memset(&r, 0, sizeof r);
  r.ClientHandle = client;
  std::strcpy(r.DeviceSn, sn);
  std::strcpy(r.DeviceName, name);
  r.Phase = phase;
  r.IdleCountdown = kIdleStart;
}

void PutLoopCount(int i, const char* sn, const char* name, int32_t count) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  CLIENTDEVICE_HANDLE& r = Sessions.DeviceLoopCounts[i];
  std::memset(&r, 0, sizeof r);
  std::strcpy(r.DeviceSn, sn);
  std::strcpy(r.DeviceName, name);
  r.looptime = count;
}

bool IsAllZero(const CLIENTDEVICE_HANDLE& r) {
  CLIENTDEVICE_HANDLE zero;
  std::memset(&zero, 0, sizeof zero);
  return std::memcmp(&r, &zero, sizeof r) == 0;
}

class SessionTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearSessionTables(); }
  void TearDown() override { ClearSessionTables(); }
};

TEST_F(SessionTableTest, DeviceLookupComparesTwentySerialCharactersAndTheWholeName) {
  PutSession(3, FakeClient(1), "ABCDEFGHIJKLMNOPQRST-one", "cam");
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  EXPECT_EQ(FindDeviceSession("ABCDEFGHIJKLMNOPQRST-two", "cam"), 3);
  EXPECT_EQ(FindDeviceSession("ABCDEFGHIJKLMNOPQRSX", "cam"), -1);
  EXPECT_EQ(FindDeviceSession("ABCDEFGHIJKLMNOPQRST-one", "Cam"), -1);
  EXPECT_EQ(FindDeviceSession("ABCDEFGHIJKLMNOPQRST-one", "cam2"), -1);
  EXPECT_EQ(FindDeviceSession("ABCDEFGHIJKLMNOPQRST-one", "ca"), -1);
}

TEST_F(SessionTableTest, LookupsReturnTheFirstMatch) {
  PutSession(5, FakeClient(1), "SN1", "cam");
  PutSession(9, FakeClient(1), "SN1", "cam");
  PutSession(2, FakeClient(2), "SN2", "cam");
  PutLoopCount(7, "SN1", "cam", 3);
  PutLoopCount(11, "SN1", "cam", 4);
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  EXPECT_EQ(FindDeviceSession("SN1", "cam"), 5);
  EXPECT_EQ(FindClientSession(FakeClient(1)), 5);
  EXPECT_EQ(FindFreeSession(), 0);
  EXPECT_EQ(FindLoopCount("SN1", "cam"), 7);
  std::vector<int> hits;
  ForEachClientSession(FakeClient(1), [&hits](int i) { hits.push_back(i); });
  EXPECT_EQ(hits, (std::vector<int>{5, 9}));
}

TEST_F(SessionTableTest, SerialAndLoopCountLookupsCompareWholeTexts) {
  PutSession(1, FakeClient(1), "ABCDEFGHIJKLMNOPQRST-one", "cam");
  PutSession(4, FakeClient(2), "ABCDEFGHIJKLMNOPQRST-one", "door");
  PutSession(6, FakeClient(3), "ABCDEFGHIJKLMNOPQRST-two", "cam");
  PutLoopCount(0, "ABCDEFGHIJKLMNOPQRST-two", "cam", 1);
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  std::vector<int> hits;
  ForEachSerialSession("ABCDEFGHIJKLMNOPQRST-one", [&hits](int i) { hits.push_back(i); });
  EXPECT_EQ(hits, (std::vector<int>{1, 4}));
  EXPECT_EQ(FindLoopCount("ABCDEFGHIJKLMNOPQRST-one", "cam"), -1);
  EXPECT_EQ(FindLoopCount("ABCDEFGHIJKLMNOPQRST-two", "cam"), 0);
}

TEST_F(SessionTableTest, EmptyTextsNeverMatchFreeRecords) {
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  EXPECT_EQ(FindDeviceSession("", ""), -1);
  EXPECT_EQ(FindLoopCount("", ""), -1);
  int hits = 0;
  ForEachSerialSession("", [&hits](int) { ++hits; });
  ForEachClientSession(nullptr, [&hits](int) { ++hits; });
  EXPECT_EQ(hits, 0);
  EXPECT_EQ(FindClientSession(nullptr), -1);
}

TEST_F(SessionTableTest, RecordsBeingDeletedAreInvisibleAndNotFree) {
  PutSession(0, FakeClient(1), "SN1", "cam", kSessionDeleting);
  PutSession(1, FakeClient(2), "SN2", "cam", kSessionCreating);
  std::lock_guard<std::mutex> lock(Sessions.Mutex);
  EXPECT_EQ(FindDeviceSession("SN1", "cam"), -1);
  EXPECT_EQ(FindClientSession(FakeClient(1)), -1);
  int hits = 0;
  ForEachSerialSession("SN1", [&hits](int) { ++hits; });
  EXPECT_EQ(hits, 0);
  EXPECT_EQ(FindDeviceSession("SN2", "cam"), 1);  // a record being created is the device's
  EXPECT_EQ(FindFreeSession(), 2);
}

TEST_F(SessionTableTest, StorableDeviceTextsHoldOneToSixtyThreeCharacters) {
  EXPECT_FALSE(IsStorableDeviceText(""));
  EXPECT_FALSE(IsStorableDeviceText(nullptr));
  EXPECT_TRUE(IsStorableDeviceText(std::string(63, 'x').c_str()));
  EXPECT_FALSE(IsStorableDeviceText(std::string(64, 'x').c_str()));
}

TEST_F(SessionTableTest, ConcurrentClaimsForOneDeviceTakeOneRecord) {
  constexpr int kThreads = 8;
  std::vector<int> got(kThreads, -2);
  std::vector<int> fresh(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &got, &fresh] {
      bool existed = false;
      got[t] = FindOrClaimSession("SN-race", "cam", &existed);
      fresh[t] = existed ? 0 : 1;
    });
  }
  for (std::thread& t : threads)
    t.join();
  int claims = 0;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(got[t], 0);
    claims += fresh[t];
  }
  EXPECT_EQ(claims, 1);
}

TEST_F(SessionTableTest, CompletedClaimMakesALoopCountRecordAtItsIndexOnlyWhenMissing) {
  PutLoopCount(2, "SN-other", "cam", 7);
  bool existed;
  int i = FindOrClaimSession("SN1", "cam", &existed);
  ASSERT_EQ(i, 0);
  PutSession(1, FakeClient(5), "SN-x", "cam");
  CompleteClaim(i, FakeClient(1));
  ReleaseSession(i);
  EXPECT_EQ(Sessions.DeviceSessions[0].Phase, kSessionLive);
  EXPECT_EQ(Sessions.DeviceSessions[0].UseCount, 0);
  EXPECT_STREQ(Sessions.DeviceLoopCounts[0].DeviceSn, "SN1");
  EXPECT_EQ(Sessions.DeviceLoopCounts[0].looptime, 0);

  // A new session at index 2 overwrites another device's count there.
  i = FindOrClaimSession("SN2", "cam", &existed);
  ASSERT_EQ(i, 2);
  CompleteClaim(i, FakeClient(2));
  EXPECT_STREQ(Sessions.DeviceLoopCounts[2].DeviceSn, "SN2");
  EXPECT_EQ(Sessions.DeviceLoopCounts[2].looptime, 0);

  // A device with a count keeps it, and no record is written at the new index.
  PutLoopCount(9, "SN3", "cam", 12);
  i = FindOrClaimSession("SN3", "cam", &existed);
  ASSERT_EQ(i, 3);
  CompleteClaim(i, FakeClient(3));
  EXPECT_EQ(Sessions.DeviceLoopCounts[9].looptime, 12);
  EXPECT_TRUE(IsAllZero(Sessions.DeviceLoopCounts[3]));
}

TEST_F(SessionTableTest, AbandonedClaimIsFreeAtOnceOrAtItsLastRelease) {
  bool existed;
  int i = FindOrClaimSession("SN1", "cam", &existed);
  AbandonClaim(i);
  EXPECT_TRUE(IsAllZero(Sessions.DeviceSessions[i]));

  i = FindOrClaimSession("SN1", "cam", &existed);
  SessionView view;
  ASSERT_EQ(AcquireDeviceSession("SN1", "cam", &view), i);
  AbandonClaim(i);
  {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    EXPECT_EQ(FindDeviceSession("SN1", "cam"), -1);
    EXPECT_NE(FindFreeSession(), i);
  }
  int looptime, looptimeall;
  CountWaitingRequest(i, &looptime, &looptimeall);
  ReleaseSession(i);
  EXPECT_TRUE(IsAllZero(Sessions.DeviceSessions[i]));
}

TEST_F(SessionTableTest, WaitingRequestsCountOnTheSessionAndTheDevice) {
  PutSession(4, FakeClient(1), "SN1", "cam");
  PutLoopCount(8, "SN1", "cam", 44);
  SessionView view;
  int i = AcquireDeviceSession("SN1", "cam", &view);
  ASSERT_EQ(i, 4);
  EXPECT_EQ(Sessions.DeviceSessions[4].UseCount, 1);
  int looptime = 0, looptimeall = 0;
  CountWaitingRequest(i, &looptime, &looptimeall);
  EXPECT_EQ(looptime, 1);
  EXPECT_EQ(looptimeall, 45);
  DoomSession(i);
  ReleaseSession(i);
  EXPECT_EQ(Sessions.DeviceSessions[4].IdleCountdown, 0);
  EXPECT_EQ(Sessions.DeviceSessions[4].UseCount, 0);

  PutSession(5, FakeClient(2), "SN2", "cam");
  i = AcquireDeviceSession("SN2", "cam", &view);
  CountWaitingRequest(i, &looptime, &looptimeall);
  EXPECT_EQ(looptimeall, 0);  // no loop count record for the device
  ReleaseSession(i);
}

}  // namespace

// Another name's tunnel for the same serial comes up while this record's
// client is still being created: the record must not turn ready without a
// client, or the next request would read the device list of a null handle.
TEST_F(SessionTableTest, RecordBeingCreatedIsNeitherFilledNorServedAsReady) {
  PutSession(0, FakeClient(1), "SN1", "A");
  bool existed = true;
  int b = FindOrClaimSession("SN1", "B", &existed);
  ASSERT_EQ(b, 1);
  ASSERT_FALSE(existed);
  SetSerialPorts("SN1", SessionPorts{8081, 5555, 6061, 7071, 8082, 5556});
  EXPECT_EQ(Sessions.DeviceSessions[0].TunnelReady, 1);
  EXPECT_EQ(Sessions.DeviceSessions[1].TunnelReady, 0);
  EXPECT_EQ(Sessions.DeviceSessions[1].HttpPort, 0);

  {
    std::lock_guard<std::mutex> lock(Sessions.Mutex);
    Sessions.DeviceSessions[1].TunnelReady = 1;
  }
  SessionView view;
  ASSERT_EQ(AcquireDeviceSession("SN1", "B", &view), 1);
  EXPECT_EQ(view.ClientHandle, nullptr);
  EXPECT_EQ(view.TunnelReady, 0);
  ReleaseSession(1);
}

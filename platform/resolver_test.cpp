// Host name and IPv4 resolution, on names this machine answers itself, and the
// hook that lets other tests choose the answer.
#include "platform/resolver.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net.h"
#include "platform/thread.h"

namespace platform {
namespace {

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NetStartup(), 0); }
  void TearDown() override {
    SetResolverHook(nullptr);
    NetCleanup();
  }
};

// Four decimal parts of 0 to 255 joined by dots, nothing else.
bool IsDottedIPv4(const char* text) {
  unsigned part[4];
  char rest;
  if (std::sscanf(text, "%3u.%3u.%3u.%3u%c", &part[0], &part[1], &part[2], &part[3], &rest) != 4)
    return false;
  for (unsigned p : part) {
    if (p > 255)
      return false;
  }
  return text[0] >= '0' && text[0] <= '9';
}

std::vector<std::string> Resolve(const char* name) {
  char out[16][16];
  int n = ResolveIPv4(name, out, 16);
  EXPECT_GT(n, 0) << "resolving \"" << name << "\": error " << LastSocketError();
  std::vector<std::string> list;
  for (int i = 0; i < n; i++)
    list.emplace_back(out[i]);
  return list;
}

// How often an address comes back is the hosts file's choice: Debian's names
// localhost for 127.0.0.1 and ::1, and the IPv4 lookup then gives 127.0.0.1
// twice. The gateway takes the first address other than 127.0.0.1, which a
// repeat does not change.
TEST_F(ResolverTest, LocalhostIsLoopback) {
  auto list = Resolve("localhost");
  ASSERT_FALSE(list.empty());
  for (const auto& a : list)
    EXPECT_EQ(a.rfind("127.", 0), 0u) << a;
}

TEST_F(ResolverTest, HostNameResolves) {
  char host[256];
  ASSERT_EQ(HostName(host, sizeof host), 0);
  ASSERT_GT(strlen(host), 0u);
  auto list = Resolve(host);
  for (const auto& a : list)
    EXPECT_TRUE(IsDottedIPv4(a.c_str())) << a;
}

TEST_F(ResolverTest, EmptyNameIsThisHost) {
  char host[256];
  ASSERT_EQ(HostName(host, sizeof host), 0);
  auto by_name = Resolve(host);
  auto by_empty = Resolve("");
  EXPECT_EQ(std::set<std::string>(by_empty.begin(), by_empty.end()),
            std::set<std::string>(by_name.begin(), by_name.end()));
}

TEST_F(ResolverTest, HostNameTooSmallBufferFails) {
  char host[256];
  ASSERT_EQ(HostName(host, sizeof host), 0);
  char tiny[1];
  EXPECT_EQ(HostName(tiny, sizeof tiny), -1);
  EXPECT_EQ(HostName(host, 0), -1);
}

TEST_F(ResolverTest, AtMostMaxAddresses) {
  char out[1][16];
  EXPECT_EQ(ResolveIPv4("localhost", out, 0), 0);
  EXPECT_EQ(ResolveIPv4("localhost", out, 1), 1);
  EXPECT_TRUE(IsDottedIPv4(out[0]));
}

int TwoFixedAddresses(const char* name, char (*out)[16], int max) {
  if (std::string(name) != "device.test")
    return -1;
  const char* answer[] = {"10.1.2.3", "192.168.0.7"};
  int n = max < 2 ? max : 2;
  for (int i = 0; i < n; i++)
    snprintf(out[i], sizeof out[i], "%s", answer[i]);
  return n;
}

TEST_F(ResolverTest, HookAnswersUntilCleared) {
  SetResolverHook(TwoFixedAddresses);
  char out[4][16];
  ASSERT_EQ(ResolveIPv4("device.test", out, 4), 2);
  EXPECT_STREQ(out[0], "10.1.2.3");
  EXPECT_STREQ(out[1], "192.168.0.7");
  EXPECT_EQ(ResolveIPv4("device.test", out, 1), 1);
  EXPECT_EQ(ResolveIPv4("localhost", out, 4), -1);
  SetResolverHook(nullptr);
  ASSERT_GT(ResolveIPv4("localhost", out, 4), 0);
  EXPECT_EQ(std::string(out[0]).rfind("127.", 0), 0u);
}

struct ResolveJob {
  std::string first;
  int count = 0;
  bool consistent = true;
  std::atomic<bool> done{false};
};

unsigned ResolveManyTimes(void* arg) {
  auto* job = static_cast<ResolveJob*>(arg);
  char out[8][16];
  for (int i = 0; i < 50; i++) {
    int n = ResolveIPv4("localhost", out, 8);
    if (i == 0) {
      job->count = n;
      job->first = n > 0 ? out[0] : "";
    }
    if (n <= 0 || n != job->count || job->first != out[0])
      job->consistent = false;
  }
  job->done = true;
  return 0;
}

// Concurrent callers each get a whole, consistent answer.
TEST_F(ResolverTest, ConcurrentCallersAgree) {
  constexpr int kThreads = 4;
  ResolveJob jobs[kThreads];
  ThreadHandle handles[kThreads];
  for (int i = 0; i < kThreads; i++) {
    ASSERT_EQ(ThreadStart(ResolveManyTimes, &jobs[i], &handles[i], nullptr), 0);
  }
  for (int i = 0; i < kThreads; i++) {
    for (int w = 0; w < 30000 && !jobs[i].done; w++)
      SleepMs(1);
    ASSERT_TRUE(jobs[i].done);
    ThreadRelease(handles[i]);
  }
  auto expected = Resolve("localhost");
  ASSERT_FALSE(expected.empty());
  for (const auto& job : jobs) {
    EXPECT_TRUE(job.consistent);
    EXPECT_EQ(job.count, static_cast<int>(expected.size()));
    EXPECT_EQ(job.first, expected.front());
  }
}

}  // namespace
}  // namespace platform

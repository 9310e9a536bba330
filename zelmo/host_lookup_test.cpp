// Host-name lookups end within their deadline however long the resolver takes,
// never run more than kMaxLookups at once, and a cloud call counts its lookup
// against its own deadline.
#include "zelmo/host_lookup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "zelmo/http_call.h"

namespace {

using namespace std::chrono_literals;

// A resolver whose servers do not answer until the test lets them.
struct StalledResolver {
  std::mutex mutex;
  std::condition_variable released;
  bool open = false;
  std::atomic<int> calls{0};
  std::atomic<int> answered{0};
};
StalledResolver Stalled;

int StalledLookup(const std::string&, uint16_t port, bool, zelmo::Endpoints& out) {
  Stalled.calls.fetch_add(1);
  std::unique_lock<std::mutex> hold(Stalled.mutex);
  Stalled.released.wait(hold, [] { return Stalled.open; });
  out.emplace_back(asio::ip::make_address("127.0.0.1"), port);
  Stalled.answered.fetch_add(1);
  return 0;
}

void Release() {
  {
    std::lock_guard<std::mutex> hold(Stalled.mutex);
    Stalled.open = true;
  }
  Stalled.released.notify_all();
}

class HostLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> hold(Stalled.mutex);
    Stalled.open = false;
    Stalled.calls = 0;
    Stalled.answered = 0;
    zelmo::SetLookupFunc(&StalledLookup);
  }
  void TearDown() override {
    Release();
    // The stalled threads end once released, each giving back its lookup slot
    // just after it answers; the next test needs those slots free.
    for (int i = 0; i < 500 && Stalled.answered.load() < Stalled.calls.load(); ++i)
      std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(100ms);
    zelmo::SetLookupFunc(nullptr);
  }
};

TEST_F(HostLookupTest, StalledNamesEndAtTheDeadlineAndCannotPileUpThreads) {
  zelmo::Endpoints found;
  std::string why;
  for (int i = 0; i < zelmo::kMaxLookups; ++i) {
    ASSERT_EQ(zelmo::LookUpHost("cloud.invalid", 80, false, 50ms, found, why), -1);
    EXPECT_EQ(why, "cloud.invalid not resolved within 50 ms");
  }
  EXPECT_EQ(Stalled.answered.load(), 0);  // all still stalled: the deadline ended each
  EXPECT_EQ(zelmo::LookUpHost("cloud.invalid", 80, false, 50ms, found, why), -1);
  EXPECT_EQ(why, "too many host-name lookups under way");
  EXPECT_EQ(Stalled.calls.load(), zelmo::kMaxLookups);

  // Digits need no lookup, so they pass even now; IPv6 ones not where IPv4 is asked.
  ASSERT_EQ(zelmo::LookUpHost("127.0.0.1", 8700, true, 50ms, found, why), 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].port(), 8700);
  EXPECT_EQ(zelmo::LookUpHost("::1", 8700, true, 50ms, found, why), -1);
  EXPECT_EQ(Stalled.calls.load(), zelmo::kMaxLookups);
}

TEST_F(HostLookupTest, CloudCallEndsWithinItsDeadlineWhenTheNameStalls) {
  zelmo::ServerAddress server;
  ASSERT_EQ(zelmo::ParseServerAddress("http://cloud.invalid:8700", server), 0);
  zelmo::HttpAnswer answer;
  std::string why;
  EXPECT_EQ(zelmo::HttpCall(server, {"GET", "/api/time", "", ""}, answer, why), -1);
  EXPECT_EQ(why, "no answer (cloud.invalid not resolved within 4000 ms)");
  EXPECT_EQ(Stalled.answered.load(), 0);
}

}  // namespace

#include "popup/popup_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "popup/popup_items.h"
#include "popup/tests/console_capture.h"

namespace {

int64_t g_now = 0;
int64_t FakeNow() {
  return g_now;
}

class PopupGateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1700000000;
    gate_.Now = &FakeNow;
  }
  ConsoleCapture console_;
  PopupGate gate_;
};

TEST_F(PopupGateTest, FirstNoticeGetsThePopupAndASecondIsRefused) {
  EXPECT_EQ(EnterGate(&gate_), 0);
  EXPECT_EQ(EnterGate(&gate_), -1);
  EXPECT_EQ(console_.Take(), "window is exist!\n");
  LeaveGate(&gate_, 0);
  EXPECT_EQ(EnterGate(&gate_), 0) << "closing without the tick reopens the gate at once";
  EXPECT_EQ(console_.Take(), "");
}

TEST_F(PopupGateTest, SilenceLasts300SecondsFromTheClose) {
  ASSERT_EQ(EnterGate(&gate_), 0);
  g_now += 250;  // the popup stays up a while before it closes
  LeaveGate(&gate_, 1);
  EXPECT_EQ(console_.Take(), "set TimeInterval\n");
  const int64_t closed = g_now;

  g_now = closed + 299;
  EXPECT_EQ(EnterGate(&gate_), -1);
  EXPECT_EQ(console_.Take(), "Not to the time!\n");

  g_now = closed + 300;
  EXPECT_EQ(EnterGate(&gate_), 0);
  EXPECT_EQ(gate_.TimeInterval, 0);
  LeaveGate(&gate_, 0);

  g_now = closed + 301;
  EXPECT_EQ(EnterGate(&gate_), 0) << "the silence no longer applies";
}

TEST_F(PopupGateTest, RefusedNoticeDuringSilenceDoesNotExtendIt) {
  ASSERT_EQ(EnterGate(&gate_), 0);
  LeaveGate(&gate_, 1);
  const int64_t closed = g_now;
  g_now = closed + 10;
  EXPECT_EQ(EnterGate(&gate_), -1);
  g_now = closed + 300;
  EXPECT_EQ(EnterGate(&gate_), 0);
}

TEST_F(PopupGateTest, TickingTwiceStartsNoSilence) {
  ASSERT_EQ(EnterGate(&gate_), 0);
  int tip_later = FlipTipLater(FlipTipLater(0));
  LeaveGate(&gate_, tip_later);
  EXPECT_EQ(console_.Take(), "");
  EXPECT_EQ(EnterGate(&gate_), 0);
}

int g_runs = 0;
int g_runner_result = 0;
int FakeRunner() {
  ++g_runs;
  return g_runner_result;
}

TEST_F(PopupGateTest, ThreadBodyRunsThePopupOnlyWhenTheGatePasses) {
  g_runs = 0;
  g_runner_result = 1;
  EXPECT_EQ(RunPopupThread(new NoticeBlock(), &gate_, &FakeRunner), 0u);
  EXPECT_EQ(g_runs, 1);
  EXPECT_EQ(gate_.PopupActive, 0);
  EXPECT_EQ(console_.Take(), "set TimeInterval\n");

  RunPopupThread(new NoticeBlock(), &gate_, &FakeRunner);
  EXPECT_EQ(g_runs, 1) << "silenced";
  EXPECT_EQ(console_.Take(), "Not to the time!\n");
}

TEST_F(PopupGateTest, PopupThatCannotBeShownReopensTheGate) {
  g_runs = 0;
  g_runner_result = -1;
  RunPopupThread(new NoticeBlock(), &gate_, &FakeRunner);
  EXPECT_EQ(gate_.PopupActive, 0);
  EXPECT_EQ(gate_.TimeInterval, 0);
  EXPECT_EQ(console_.Take(), "");
  g_runner_result = 0;
  RunPopupThread(new NoticeBlock(), &gate_, &FakeRunner);
  EXPECT_EQ(g_runs, 2);
}

TEST_F(PopupGateTest, OnlyOneOfManyRacingThreadsGetsThePopup) {
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < kThreads)
        std::this_thread::yield();
      if (EnterGate(&gate_) == 0)
        winners.fetch_add(1);
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(winners.load(), 1);
  std::string out = console_.Take();
  size_t refused = 0;
  for (size_t at = out.find("window is exist!\n"); at != std::string::npos;
       at = out.find("window is exist!\n", at + 1)) {
    ++refused;
  }
  EXPECT_EQ(refused, static_cast<size_t>(kThreads - 1));
}

// A popup that stays up until the test closes it.
std::mutex g_popup_mutex;
std::condition_variable g_popup_closed;
bool g_popup_open = false;
int HeldRunner() {
  std::unique_lock<std::mutex> hold(g_popup_mutex);
  g_popup_closed.wait(hold, [] { return !g_popup_open; });
  return 0;
}

// The end of the program waits for every window thread it started, the one
// that shows the popup and the ones the gate turns away, and no longer.
TEST_F(PopupGateTest, EndOfTheProgramWaitsForEveryWindowThread) {
  g_popup_open = true;
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    AddWindowThread(&gate_);
    threads.emplace_back([this] {
      RunPopupThread(new NoticeBlock(), &gate_, &HeldRunner);
      EndWindowThread(&gate_);
    });
  }
  auto running = [this] {
    std::lock_guard<std::mutex> hold(gate_.Mutex);
    return gate_.WindowThreads;
  };
  for (int i = 0; i < 1000 && running() > 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(running(), 1) << "the two turned away end at once";
  EXPECT_EQ(WaitForWindowThreads(&gate_, 200), -1) << "the popup is still up";
  EXPECT_EQ(console_.Take(), "window is exist!\nwindow is exist!\n");
  {
    std::lock_guard<std::mutex> hold(g_popup_mutex);
    g_popup_open = false;
  }
  g_popup_closed.notify_all();
  EXPECT_EQ(WaitForWindowThreads(&gate_, 10000), 0);
  EXPECT_EQ(gate_.WindowThreads, 0);
  for (std::thread& t : threads)
    t.join();
}

}  // namespace

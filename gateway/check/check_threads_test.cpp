// Parsing and the check code from 64 workers at once: each must get exactly
// what it would get alone. Run under the thread sanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gateway/check/check_code.h"
#include "gateway/check/query_parser.h"
#include "gateway/testing/log_capture.h"

namespace {

constexpr int kWorkers = 64;
constexpr int kRounds = 200;

std::string TimeStamp(int worker, int round) {
  return std::to_string(1700000000 + worker * kRounds + round);
}

// The code of every time stamp, computed one at a time beforehand.
std::vector<std::string> CodesComputedAlone() {
  std::vector<std::string> codes;
  for (int worker = 0; worker < kWorkers; ++worker) {
    for (int round = 0; round < kRounds; ++round) {
      char input[kCheckCodeInputCapacity] = {};
      char code[kCheckCodeCapacity] = {};
      std::snprintf(input, sizeof input, "%s%s", TimeStamp(worker, round).c_str(), CheckCodeSalt);
      MakeCheckCode(input, code);
      codes.push_back(code);
    }
  }
  return codes;
}

// Every third round carries a wrong code, so refusals are logged concurrently.
int RunWorker(int worker, const std::vector<std::string>& codes, std::atomic<bool>* go) {
  while (!go->load())
    std::this_thread::yield();
  int faults = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string& code = codes[worker * kRounds + round];
    bool wrong = round % 3 == 0;
    std::string request = "GET /?t=" + TimeStamp(worker, round) +
                          "&k=" + (wrong ? std::string(32, '0') : code) + "&u=user" +
                          std::to_string(worker) + "&c=pw&ds=SN" + std::to_string(round) +
                          "&dn=d&si=s&sc=1&hi=127.0.0.1& HTTP/1.1\r\nHost: h\r\n\r\n";
    RequestParams params;
    std::memset(&params, 0, sizeof params);
    if (ParseRequest(&request[0], &params) != 0)
      ++faults;
    if (TimeStamp(worker, round) != params.t)
      ++faults;
    if ("user" + std::to_string(worker) != params.UserName)
      ++faults;
    if ("SN" + std::to_string(round) != params.DeviceSn)
      ++faults;
    if ((CheckRequestCode(params) == 0) == wrong)
      ++faults;
  }
  return faults;
}

TEST(CheckThreads, SixtyFourWorkersParseAndCheckAtOnce) {
  const std::vector<std::string> codes = CodesComputedAlone();
  LogCapture log;
  std::atomic<bool> go{false};
  std::vector<int> faults(kWorkers, 0);
  std::vector<std::thread> workers;
  for (int worker = 0; worker < kWorkers; ++worker) {
    workers.emplace_back([&, worker] { faults[worker] = RunWorker(worker, codes, &go); });
  }
  go.store(true);
  for (std::thread& worker : workers)
    worker.join();
  for (int worker = 0; worker < kWorkers; ++worker)
    EXPECT_EQ(faults[worker], 0) << worker;

  int wrong_per_worker = (kRounds + 2) / 3;
  std::vector<std::string> lines = log.Texts();
  EXPECT_EQ(lines.size(), static_cast<size_t>(kWorkers * wrong_per_worker));
  for (const std::string& line : lines) {
    ASSERT_EQ(line, "check code is error!!!!!!!!!!!!!!!!!!!!!!!!");
  }
}

}  // namespace

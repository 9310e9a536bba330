// Micro benchmarks of the gateway's per-request work apart from the network:
// parsing the request line, the check code, building the redirect reply, and
// reading a page file in text mode. They show how small these costs are beside
// the clock query and the connection handling that a whole request pays for.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "gateway/check/check_code.h"
#include "gateway/check/query_parser.h"
#include "gateway/server/replies.h"
#include "platform/files.h"

namespace {

const char kRequest[] =
    "GET /?t=1700000600&k=0123456789abcdef0123456789abcdef&u=demo&c=demo&ds=DEMO-0001"
    "&dn=Front%20door&si=127.0.0.1&sc=1&hi=127.0.0.1:8700& HTTP/1.1\r\n"
    "Host: 127.0.0.1:9999\r\nAccept: text/html\r\n\r\n";

void ParseRequestLine(benchmark::State& state) {
  char text[sizeof kRequest];
  RequestParams params;
  for (auto _ : state) {
    std::memcpy(text, kRequest, sizeof kRequest);
    std::memset(&params, 0, sizeof params);
    benchmark::DoNotOptimize(ParseRequest(text, &params));
  }
}
BENCHMARK(ParseRequestLine);

void CheckCode(benchmark::State& state) {
  char input[kCheckCodeInputCapacity];
  std::snprintf(input, sizeof input, "%s%s", "1700000600", CheckCodeSalt);
  char code[kCheckCodeCapacity];
  for (auto _ : state)
    benchmark::DoNotOptimize(MakeCheckCode(input, code));
}
BENCHMARK(CheckCode);

void RedirectReply(benchmark::State& state) {
  const MappedPorts ports = {8081, 5555, 6061, 7071, 8082, 5556};
  char record[kPortRecordSize];
  char key2[kKey2Size];
  char reply[kReplySize];
  for (auto _ : state) {
    FormatPortRecord(record, sizeof record, "192.168.1.20", ports);
    FormatKey2(record, key2, sizeof key2);
    benchmark::DoNotOptimize(
        FormatRedirectPage(reply, sizeof reply, 8081, "admin", "device-key", key2));
  }
}
BENCHMARK(RedirectReply);

// The waiting page, read whole in the pieces the gateway sends.
void PageFileRead(benchmark::State& state, const char* path) {
  char piece[kPageFilePieceSize];
  for (auto _ : state) {
    platform::TextFile* file = platform::TextFileOpen(path);
    if (file == nullptr) {
      state.SkipWithError("page file missing");
      return;
    }
    while (platform::TextFileRead(file, piece, sizeof piece) > 0) {
    }
    platform::TextFileClose(file);
  }
}
BENCHMARK_CAPTURE(PageFileRead, trystun, HG_TRYSTUN_PAGE);

}  // namespace

BENCHMARK_MAIN();

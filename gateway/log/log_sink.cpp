// LogSink: the one function through which every line, the library's included,
// reaches the console and the glog file. Called from any thread.
#include <glog/logging.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "gateway/log/write_log.h"

namespace {

// Written at start-up before any other thread exists; read by every thread.
std::atomic<int> LogThreshold{6};

}  // namespace

void SetLogThreshold(int threshold) {
  LogThreshold.store(threshold);
}

void LogSink(int level, const char* text) {
  if (level > LogThreshold.load())
    return;
  if (std::strstr(text, "we want") != nullptr)
    return;
  std::printf("%s", text);
  std::fflush(stdout);
  google::LogMessage(__FILE__, __LINE__).stream() << text;
}

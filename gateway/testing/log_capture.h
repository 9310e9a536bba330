// Test helper: registers a log sink that keeps every line written through
// WriteLog, with its level and without the "[file:line] " prefix and the final
// newline. One capture at a time; lines may arrive from any thread.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "zelmo/zelmo_api.h"

struct LoggedLine {
  int level;
  std::string text;
};

class LogCapture {
 public:
  LogCapture() {
    {
      std::lock_guard<std::mutex> hold(Lock());
      Lines().clear();
    }
    Zelmo_SetLogFunc(&Sink);
  }
  ~LogCapture() { Zelmo_SetLogFunc(nullptr); }

  std::vector<LoggedLine> Taken() {
    std::lock_guard<std::mutex> hold(Lock());
    return Lines();
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const LoggedLine& line : Taken())
      texts.push_back(line.text);
    return texts;
  }

 private:
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::vector<LoggedLine>& Lines() {
    static std::vector<LoggedLine> lines;
    return lines;
  }
  static void Sink(int level, const char* text) {
    std::string line(text);
    size_t prefix = line.find("] ");
    if (line.size() > 0 && line[0] == '[' && prefix != std::string::npos)
      line.erase(0, prefix + 2);
    if (!line.empty() && line.back() == '\n')
      line.pop_back();
    std::lock_guard<std::mutex> hold(Lock());
    Lines().push_back({level, line});
  }
};

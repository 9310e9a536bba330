// Collects what the notifier prints while an instance lives, from any thread.
#pragma once
#include <mutex>
#include <string>

#include "popup/console.h"

class ConsoleCapture {
 public:
  ConsoleCapture() {
    Text().clear();
    SetConsoleSink(&Append);
  }
  ~ConsoleCapture() { SetConsoleSink(nullptr); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::string Take() {
    std::lock_guard<std::mutex> hold(Lock());
    std::string text;
    text.swap(Text());
    return text;
  }

 private:
  static void Append(const char* text) {
    std::lock_guard<std::mutex> hold(Lock());
    Text() += text;
  }
  static std::string& Text() {
    static std::string text;
    return text;
  }
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
};

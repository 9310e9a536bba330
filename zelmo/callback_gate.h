// The gate every callback of one client passes: the connected and closed
// callbacks and the network events of its tunnels. Shutting it waits for a
// callback in flight on another thread and lets none through afterwards; a
// callback that deletes its own client shuts the gate from inside (the lock is
// recursive), and the callbacks still due on that thread then find it shut.
#pragma once
#include <mutex>

namespace zelmo {

class CallbackGate {
 public:
  // Runs call unless the gate is shut.
  template <typename Call>
  void Pass(Call&& call) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (open_)
      call();
  }

  void Shut() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    open_ = false;
  }

 private:
  std::recursive_mutex mutex_;
  bool open_ = true;
};

}  // namespace zelmo

// The service clock that GET /getime reports: the real time shifted by an
// offset, or a frozen value, and the HTTP status to answer with. Admin requests
// change it while the HTTP threads read it, so every field is atomic.
#pragma once
#include <atomic>
#include <cstdint>

namespace devcloud {

class ServiceClock {
 public:
  int64_t Now() const;
  // Shifts the service time by seconds from the real time and unfreezes it.
  void SetOffset(int64_t seconds);
  void Freeze(int64_t t);
  void SetStatus(int status) { status_.store(status); }
  int status() const { return status_.load(); }

 private:
  std::atomic<int64_t> offset_{0};
  std::atomic<int64_t> fixed_{0};
  std::atomic<bool> frozen_{false};
  std::atomic<int> status_{200};
};

}  // namespace devcloud

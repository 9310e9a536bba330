// Service clock (see service_clock.h).
#include "devcloud/service_clock.h"

#include <ctime>

namespace devcloud {

int64_t ServiceClock::Now() const {
  if (frozen_.load())
    return fixed_.load();
  return static_cast<int64_t>(std::time(nullptr)) + offset_.load();
}

void ServiceClock::SetOffset(int64_t seconds) {
  offset_.store(seconds);
  frozen_.store(false);
}

void ServiceClock::Freeze(int64_t t) {
  fixed_.store(t);
  frozen_.store(true);
}

}  // namespace devcloud

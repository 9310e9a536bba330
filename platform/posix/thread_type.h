#pragma once
#include <pthread.h>

namespace platform {
using ThreadHandle = pthread_t;
}  // namespace platform

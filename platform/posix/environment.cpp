// The process environment on POSIX.
#include "platform/environment.h"

#include <cstdlib>

namespace platform {

int UnsetEnvironmentVariable(const char* name) {
  return unsetenv(name) == 0 ? 0 : -1;
}

}  // namespace platform

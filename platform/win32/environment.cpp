// The process environment on Windows: an empty value removes the variable from
// the C runtime's copy and from the system's, which GetEnvironmentVariable reads.
#include "platform/environment.h"

#include <cstdlib>

namespace platform {

int UnsetEnvironmentVariable(const char* name) {
  return _putenv_s(name, "") == 0 ? 0 : -1;
}

}  // namespace platform

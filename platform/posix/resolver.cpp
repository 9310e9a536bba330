// The POSIX host name and the errno a failed lookup reports; the lookup itself
// is shared with Windows (common/resolver.cpp).
#include "platform/resolver.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "socket_system.h"

namespace platform {

// getaddrinfo's own codes are not errno values; report them as the closest one.
void SetResolverError(int rc) {
  if (rc == EAI_SYSTEM)
    return;  // errno already tells
  if (rc == EAI_MEMORY)
    errno = ENOMEM;
  else if (rc == EAI_AGAIN)
    errno = EAGAIN;
  else
    errno = ENOENT;
}

int HostName(char* buf, int cap) {
  if (buf == nullptr || cap <= 0) {
    errno = EINVAL;
    return -1;
  }
  if (gethostname(buf, static_cast<size_t>(cap)) != 0)
    return -1;
  // POSIX does not promise a terminating NUL when the name was cut.
  if (memchr(buf, '\0', static_cast<size_t>(cap)) == nullptr) {
    buf[0] = '\0';
    errno = ENAMETOOLONG;
    return -1;
  }
  return 0;
}

}  // namespace platform

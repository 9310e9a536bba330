// The process environment.
#pragma once

namespace platform {

// Removes name from the environment the process and the libraries it links see
// (libcurl reads its proxy settings there). 0 done, -1 failed.
int UnsetEnvironmentVariable(const char* name);

}  // namespace platform

#pragma once
#include <windows.h>

namespace platform {
using ThreadHandle = HANDLE;
}  // namespace platform

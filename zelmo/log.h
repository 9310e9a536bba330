// Logging of the tunnel libraries: one sink, registered by the host program with
// Zelmo_SetLogFunc (defined in log.cpp), that receives whole lines (ending in
// "\n") with a level: 3 failures, 6 progress, 7 and 8 detail. Each line goes to
// what Zelmo_GetLogFunc gives for its level; without a sink nothing is formatted.
#pragma once
#include <string>

#include "zelmo/zelmo_api.h"

namespace zelmo {

constexpr int kLogFailure = 3;
constexpr int kLogProgress = 6;
constexpr int kLogDetail = 7;
constexpr int kLogTrace = 8;

// Formats one line (a trailing "\n" is added) and hands it to the sink.
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A peer's text as it may stand in a line: cut to 200 characters, and every
// control byte, which could break the line or forge another, shown as '?'.
std::string LogSafe(std::string text);

}  // namespace zelmo

// The one way the gateway writes a log line. Levels: 3 failures, 6 progress
// (the library also uses 7 and 8 for detail). The line is prefixed with
// "[file.cpp:line] ", dropped whole at 1022 characters or more, ended with a
// newline, and handed to the sink that Zelmo_GetLogFunc returns for the level.
#pragma once

void WriteLogAt(const char* file, int line, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

#define WriteLog(level, ...) WriteLogAt(__FILE__, __LINE__, (level), __VA_ARGS__)

// Console and glog file; registered with Zelmo_SetLogFunc at start-up.
void LogSink(int level, const char* text);
// Highest level LogSink lets through: 6, or 8 with "-v".
void SetLogThreshold(int threshold);

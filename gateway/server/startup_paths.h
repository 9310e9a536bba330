// The paths the gateway finds beside its program file: the two page files, the
// log folder and glog's file prefix. Every path is built into a fixed buffer and
// never cut short: a path that does not fit, or a program path without a folder,
// fails the start-up instead.
#pragma once
#include <cstddef>

constexpr int kPagePathCapacity = 100;
constexpr int kStartFolderCapacity = 260;
constexpr int kLogPathCapacity = 200;

// Filled once at start-up, before any worker runs; read by the workers.
extern char TryStunPath[kPagePathCapacity];
extern char TryStunFailedPath[kPagePathCapacity];
extern char LogFolderPath[kPagePathCapacity];

// dst = head + tail when that fits into cap bytes with its NUL: 0. Otherwise -1
// and dst holds the empty text.
int JoinPath(char* dst, size_t cap, const char* head, const char* tail);

// Makes sure the log folder exists: 0 when it existed and the empty probe file
// "temp" could be written in it, 1 when it was created, -1 when neither.
int PrepareLogFolder(const char* folder);

// The glog file prefix at start-up, before anything can be logged: the log
// folder + "p2plog_", or the program folder alone when the log folder is
// unusable. 0, or -1 with the reason in error (for the log once it is set up).
int BuildLogPrefix(char* prefix, char* error, size_t error_cap);

// The program folder, ending with the path separator, into dst (cap bytes). 0,
// or -1 after a level-3 line when the program path cannot be read, holds no
// folder, or does not fit.
int GetExeFolder(char* dst, size_t cap);

// TryStunPath, TryStunFailedPath and LogFolderPath from the program folder. 0,
// or -1 after a level-3 line.
int BuildPagePaths();

// Request values and other peers' texts go into log lines shown, not raw: a
// carriage return, line feed or terminal escape in them could forge a line or
// drive the console. Only the line gets the escaped form; the values keep
// their bytes.
#pragma once

constexpr int kLogValueCapacity = 1024;  // an escaped value, NUL included

// Copies text into out (capacity bytes, at least 1) with each control byte
// (below 0x20, and 0x7f) written as "\xHH"; cut where the next piece would not
// fit. Returns out, so it can stand as a WriteLog argument.
const char* EscapeForLog(const char* text, char* out, int capacity);

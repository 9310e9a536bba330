// The reader's side of a notice line "Info:...,Devicename:...,CountValue:...,
// UrlIndex:...". The reader is looser than the sender: keys may stand in any
// order, values are not checked, and an empty value keeps the previous one.
#pragma once

constexpr int kNoticeFieldSize = 64;  // 63 characters and the terminator

// The last values read; each field keeps its value until a notice replaces it.
struct NoticeFields {
  char Info[kNoticeFieldSize];
  char Devicename[kNoticeFieldSize];
  char CountValue[kNoticeFieldSize];
  char UrlIndex[kNoticeFieldSize];
};

// Reads the four keys from one line (NUL-terminated, no line feed) into fields.
// 0 when all four were found; otherwise prints the missing key's message and
// returns -1, with the keys handled before it already written.
int ParseNotice(const char* line, NoticeFields* fields);

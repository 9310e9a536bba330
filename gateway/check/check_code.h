// Check code: MD5 of the request's time stamp followed by a built-in salt, in
// lower-case hex. Only a party that knows the salt can make a k that fits a t.
#pragma once

#include "gateway/check/query_parser.h"

// 32 lower-case hex digits; never sent or logged.
extern const char CheckCodeSalt[];

constexpr int kCheckCodeInputCapacity = 96;
constexpr int kCheckCodeCapacity = 33;

// MD5 of the bytes of input (without its NUL) as 32 lower-case hex digits and a
// NUL in out (at least kCheckCodeCapacity bytes). Returns 0; -1 only when the
// digest itself is unavailable, and out then holds the empty text.
int MakeCheckCode(const char* input, char* out);

// The check-code rule: k must equal the code of t followed by CheckCodeSalt,
// exactly and case-sensitively. Returns 0 when it does; otherwise logs
// "check code is error!!!!!!!!!!!!!!!!!!!!!!!!" at level 6 and returns -1, and
// the caller ends the request without a reply.
int CheckRequestCode(const RequestParams& params);

// Reading numbers and lines out of received text, the same on every system and
// never depending on the C locale.
#pragma once

namespace platform {

// The decimal number at the start of text, read as atoi reads it but without
// overflow: leading white space (space, \t, \n, \v, \f, \r) and one sign are
// skipped, then digits up to the first other character; a value outside
// [low, high] is held at the nearer bound, however many digits it has. A text
// with no digits there (null, empty, "x1", "+", "- 1") reads as 0, also held to
// the bounds. Needs low <= high.
long long ParseClampedDecimal(const char* text, long long low, long long high);

// The whole text as one decimal number: an optional sign and at least one digit,
// nothing before or after (no white space). Stores it and returns true when it
// lies in [low, high]; otherwise returns false and leaves value alone.
bool ParseWholeDecimal(const char* text, long long low, long long high, long long* value);

// The first line of text as strtok with the delimiter "\n" finds it: leading
// line feeds are skipped and the line ends at the next line feed, which is
// overwritten with a NUL, or at the end of the text. Only the line feed
// delimits: a carriage return before it stays the line's last character.
// Returns the line's start inside text, or null when text is null, empty or
// nothing but line feeds (text is then left unchanged).
char* CutFirstLine(char* text);

}  // namespace platform

// Decimal numbers through std::from_chars, which reads digits only, in any
// locale, and says when they overflow; sign and white space are handled here as
// strtol handles them. The magnitude is read unsigned so that the most negative
// long long is in reach.
#include "platform/text.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <system_error>

namespace platform {

namespace {

struct Decimal {
  const char* end;  // after the last digit; the text's start when there is none
  bool negative;
  unsigned long long magnitude;  // the largest one when the digits hold more
};

bool IsCSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads an optional sign and the digits after it, starting at text.
Decimal ReadDecimal(const char* text) {
  Decimal d = {text, false, 0};
  const char* p = text;
  if (*p == '+' || *p == '-')
    d.negative = *p++ == '-';
  std::from_chars_result r = std::from_chars(p, p + strlen(p), d.magnitude, 10);
  if (r.ptr == p)
    return d;  // no digits: nothing was read
  d.end = r.ptr;
  if (r.ec == std::errc::result_out_of_range)
    d.magnitude = ULLONG_MAX;
  return d;
}

// The number as a long long; false when it lies beyond that type's range.
bool ValueOf(const Decimal& d, long long* value) {
  constexpr unsigned long long kMax = LLONG_MAX;
  if (d.magnitude > kMax + (d.negative ? 1 : 0))
    return false;
  if (!d.negative)
    *value = static_cast<long long>(d.magnitude);
  else if (d.magnitude == kMax + 1)
    *value = LLONG_MIN;
  else
    *value = -static_cast<long long>(d.magnitude);
  return true;
}

}  // namespace

long long ParseClampedDecimal(const char* text, long long low, long long high) {
  if (text == nullptr)
    text = "";
  while (IsCSpace(*text))
    ++text;
  const Decimal d = ReadDecimal(text);
  long long value;
  if (!ValueOf(d, &value))
    return d.negative ? low : high;
  if (value < low)
    return low;
  return value > high ? high : value;
}

bool ParseWholeDecimal(const char* text, long long low, long long high, long long* value) {
  if (text == nullptr)
    return false;
  const Decimal d = ReadDecimal(text);
  long long v;
  if (d.end == text || *d.end != '\0' || !ValueOf(d, &v) || v < low || v > high)
    return false;
  *value = v;
  return true;
}

char* CutFirstLine(char* text) {
  if (text == nullptr)
    return nullptr;
  while (*text == '\n')
    ++text;
  if (*text == '\0')
    return nullptr;
  char* end = strchr(text, '\n');
  if (end != nullptr)
    *end = '\0';
  return text;
}

}  // namespace platform

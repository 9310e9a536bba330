// Host check (see host_check.h).
#include "gateway/check/host_check.h"

#include <cctype>
#include <cstring>

#include "platform/net.h"
#include "platform/resolver.h"

namespace {

constexpr int kHostNameCapacity = 100;
constexpr int kMaxAddresses = 32;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool StartsWithHostName(const char* line) {
  static const char kName[] = "host:";
  for (int i = 0; kName[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != kName[i])
      return false;
  }
  return true;
}

// The start of the line after the one at p, or null at the end of the text.
const char* NextLine(const char* p) {
  const char* end = std::strchr(p, '\n');
  return end == nullptr ? nullptr : end + 1;
}

// Dotted decimal IPv4 with four parts of 0 to 255; its first part in *first.
bool ReadIPv4(const char* text, int* first) {
  int parts = 0;
  const char* p = text;
  for (;;) {
    int value = 0, digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p)) && digits < 4) {
      value = value * 10 + (*p++ - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255)
      return false;
    if (parts++ == 0)
      *first = value;
    if (*p == '\0')
      return parts == 4;
    if (*p++ != '.' || parts == 4)
      return false;
  }
}

// The host part of a Host value: lower case, without port, brackets and a
// trailing dot. false when it does not fit.
bool HostPart(const char* value, char* out, int capacity) {
  const char* begin = value;
  const char* end = value + std::strlen(value);
  if (*begin == '[') {
    const char* close = std::strchr(begin, ']');
    if (close == nullptr)
      return false;
    ++begin;
    end = close;
  } else {
    const char* colon = std::strchr(begin, ':');
    if (colon != nullptr)
      end = colon;
  }
  if (end > begin && end[-1] == '.')
    --end;
  int length = static_cast<int>(end - begin);
  if (length >= capacity)
    return false;
  for (int i = 0; i < length; ++i)
    out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(begin[i])));
  out[length] = '\0';
  return true;
}

bool IsLoopback(const char* host) {
  int first = 0;
  if (ReadIPv4(host, &first))
    return first == 127;
  return std::strcmp(host, "localhost") == 0 || std::strcmp(host, "::1") == 0;
}

bool IsHostAddress(const char* host) {
  char name[kHostNameCapacity] = {};
  if (platform::HostName(name, sizeof name) != 0)
    name[0] = '\0';
  char addresses[kMaxAddresses][16];
  int count = platform::ResolveIPv4(name, addresses, kMaxAddresses);
  if (count > kMaxAddresses)
    count = kMaxAddresses;
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(addresses[i], host) == 0)
      return true;
  }
  return false;
}

}  // namespace

int FindHostHeader(const char* text, char* host) {
  for (const char* line = NextLine(text); line != nullptr; line = NextLine(line)) {
    if (!StartsWithHostName(line))
      continue;
    const char* begin = line + 5;
    while (IsBlank(*begin))
      ++begin;
    const char* end = begin + std::strcspn(begin, "\r\n");
    while (end > begin && IsBlank(end[-1]))
      --end;
    if (end - begin >= kHostCapacity)
      return -1;
    std::memcpy(host, begin, static_cast<size_t>(end - begin));
    host[end - begin] = '\0';
    return 1;
  }
  return 0;
}

bool IsOwnHost(const char* value) {
  char host[kHostCapacity];
  if (!HostPart(value, host, sizeof host) || host[0] == '\0')
    return false;
  return IsLoopback(host) || IsHostAddress(host);
}

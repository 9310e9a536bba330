// The Host check: a web page can rebind its own name to 127.0.0.1 and then read
// the gateway's replies, which carry the device's login. Such a request names
// the page's host, so only requests naming this computer are answered: a
// loopback name or address, or one of the addresses the computer's host name
// resolves to. A request without Host (no browser sends one) is answered.
#pragma once

constexpr int kHostCapacity = 256;  // a Host value, NUL included

// Looks for the Host header in the lines after the first of the request text.
// 1 with its value (blanks around it dropped) in host (kHostCapacity bytes),
// 0 when there is none, -1 when its value does not fit.
int FindHostHeader(const char* text, char* host);

// Whether host (a Host value, with or without a port) names this computer.
bool IsOwnHost(const char* host);

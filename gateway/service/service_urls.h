// The service zones: a constant table of five base URLs, numbered 1 to 5. A
// request's ServiceCenter picks one, both for the clock that checks its freshness
// and for the server a new tunnel client signs in to.
#pragma once

constexpr int kServiceUrlCount = 5;
constexpr int kServiceUrlCapacity = 100;

// Base URLs of the five service zones ("http://" and a host name, no port,
// path or trailing slash). ServiceCenter n chooses ServiceUrls[n - 1].
extern const char ServiceUrls[kServiceUrlCount][kServiceUrlCapacity];

// The zone's base URL for a service centre number, or null outside 1 to 5.
const char* ServiceUrl(int service_center);

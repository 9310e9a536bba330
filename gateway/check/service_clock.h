// Service clock: a request is honoured only while its t is not behind the clock
// of the service it names. The clock is fetched with a plain HTTP GET of
// "/getime" below the service's base URL; the body carries "t=" and the time.
#pragma once
#include <cstddef>

#include "gateway/check/query_parser.h"
#include "gateway/service/service_urls.h"

constexpr int kClockUrlCapacity = 200;
constexpr int kServiceTimeCapacity = 11;

// Builds the clock URL into url (kClockUrlCapacity bytes, cleared here):
// "http://" + HttpIP when HttpIP is set, else the ServiceUrls entry of
// ServiceCenter, then "/getime". Returns -1, with url empty, when neither names
// a service (ServiceCenter outside 1 to 5 and HttpIP empty).
int MakeClockUrl(const RequestParams& params, char* url);

// Response body of one transfer: always a NUL-terminated heap text; size
// counts the body bytes, not the NUL.
struct HttpBody {
  char* memory;
  size_t size;
};

// libcurl's write function: appends the bytes to body (an HttpBody*). Returns
// the count taken, or 0 (which aborts the transfer) when it cannot grow.
size_t WriteBodyCallback(void* data, size_t size, size_t count, void* body);

// One HTTP GET of url into body (5 s to connect, 10 s in all, no redirects).
// Returns the response's status code, or 1 when the transfer failed; the
// failure is written to standard error.
int HttpGetBody(const char* url, HttpBody* body);

// One clock query. Returns 200 when the service answered 200 with "t=" in its
// body; out (kServiceTimeCapacity bytes) then holds the word after "t=". Returns
// -1 otherwise, also when that word is longer than 10 characters; out is then
// untouched or cleared.
int GetServiceTime(const char* url, char* out);

// The worker's clock step: builds the clock URL into url (kClockUrlCapacity
// bytes) and queries it, a second time at once if the first fails. Returns 0
// with service_time (kServiceTimeCapacity bytes) filled; after two failures, or
// when the request names no service, logs "get t error!!!!!!!!!!!!!!!!!!!!!" at
// level 6 and returns -1, and the caller ends the request without a reply.
int QueryServiceTime(const RequestParams& params, char* url, char* service_time);
